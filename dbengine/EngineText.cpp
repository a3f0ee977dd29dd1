// Error texts of the engine and the Russian-aware text comparison.
#include "dbengine/EngineInternal.h"
#include "dbengine/K5Collation.h"

#include <cctype>
#include <cstring>

namespace k5::db::detail {

void Raise(int32_t number, const std::string& text) {
    throw EngineError(number, text);
}

std::string TextNotFoundItem() {
    return "Элемент не найден в этой коллекции.";
}

std::string TextDamaged(const std::string& file) {
    return "Не удается открыть базу данных '" + file +
           "'. Возможно, она не является базой данных, распознаваемой этим приложением, или файл "
           "поврежден.";
}

std::string TextDuplicate() {
    return "Изменения не были успешно выполнены, так как они приведут к появлению повторяющихся значений в "
           "индексе, основном ключе или связи.  Измените данные в поле или полях, содержащих повторяющиеся "
           "значения, удалите индекс или переопределите его, чтобы разрешить повторяющиеся значения, и "
           "повторите попытку.";
}

std::string InUseText(const std::string& path) {
    return "Не удается использовать '" + path + "'; файл уже используется.";
}

std::string ExclusiveText(const std::string& path) {
    return "Не удается открыть файл '" + path +
           "', он уже открыт другим пользователем в монопольном режиме. Повторите попытку, когда база данных "
           "станет доступна.";
}

std::string BadPathText(const std::string& path) {
    return "'" + path +
           "' не является допустимым путем. Убедитесь, что путь введен правильно и что имеется подключение к "
           "серверу, на котором находится файл.";
}

std::string NoAccessText(const std::string& path) {
    return "Не удается открыть файл '" + path +
           "'. Он уже открыт другим пользователем в монопольном режиме, или для его просмотра или изменения "
           "требуется разрешение.";
}

void ConversionError() {
    Raise(3421, "Ошибка преобразования типа данных.");
}

void NoCurrentRecord() {
    Raise(3021, "Текущая запись отсутствует.");
}

void NoEdit() {
    Raise(3020, "Update или CancelUpdate без AddNew или Edit.");
}

void ReadOnly() {
    Raise(3027, "Не удается обновить. База данных или объект доступны только для чтения.");
}

std::string TextNoInput(const std::string& name) {
    return "Не удается найти входную таблицу или запрос '" + name +
           "'. Убедитесь, что он существует и его имя введено правильно.";
}

std::string TextNoObject(const std::string& name) {
    return "Не удается найти объект '" + name +
           "'. Убедитесь, что объект существует и что его имя и путь введены правильно.";
}

std::string TextRequired(const std::string& table, const std::string& field) {
    return "Поле '" + table + "." + field +
           "' не может содержать значение Null, поскольку свойство Required для этого поля имеет значение "
           "True.  Введите значение в поле.";
}

void RaiseSqlite(sqlite3* db, int rc, const std::string& what) {
    const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int primary = rc & 0xff;
    const int ext = db ? sqlite3_extended_errcode(db) : rc;
    switch (primary) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        Raise(3049, TextDamaged(what));
    case SQLITE_CONSTRAINT:
        if (ext == SQLITE_CONSTRAINT_UNIQUE || ext == SQLITE_CONSTRAINT_PRIMARYKEY)
            Raise(3022, TextDuplicate());
        if (ext == SQLITE_CONSTRAINT_NOTNULL) {
            // "NOT NULL constraint failed: T.F"
            const auto colon = msg.find(": ");
            const std::string name = colon == std::string::npos ? what : msg.substr(colon + 2);
            const auto dot = name.find('.');
            Raise(3314, TextRequired(dot == std::string::npos ? what : name.substr(0, dot),
                                     dot == std::string::npos ? name : name.substr(dot + 1)));
        }
        Raise(3317, "Одно или несколько значений запрещены правилом проверки. [" + msg + "]");
    case SQLITE_FULL:
        Raise(3026, "Недостаточно места на диске.");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        Raise(3218, "Не удается обновить; объект '" + what + "' заблокирован.");
    case SQLITE_READONLY:
        ReadOnly();
    case SQLITE_IOERR:
        Raise(3043, "Ошибка диска или сети. [" + msg + "]");
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        Raise(3051, NoAccessText(what));
    case SQLITE_INTERRUPT:
        Raise(3059, "Операция отменена пользователем.");
    case SQLITE_NOMEM:
        Raise(7, "Недостаточно памяти.");
    case SQLITE_ERROR:
        if (msg.rfind("no such table: ", 0) == 0) Raise(3078, TextNoInput(msg.substr(15)));
        if (msg.rfind("no such column: ", 0) == 0)
            Raise(3061, "Слишком мало параметров. Неизвестное поле '" + msg.substr(16) + "'.");
        if (msg.find("syntax error") != std::string::npos ||
            msg.find("incomplete input") != std::string::npos)
            Raise(3129, "Синтаксическая ошибка в инструкции SQL. [" + msg + "]");
        Raise(3146, "Ошибка выполнения инструкции SQL. [" + msg + "]");
    default:
        Raise(3000,
              "Зарезервированная ошибка (" + std::to_string(rc) + "); для нее нет описания. [" + msg + "]");
    }
}

namespace {

int CollationCallback(void*, int na, const void* a, int nb, const void* b) {
    return CompareK5(static_cast<const char*>(a), na, static_cast<const char*>(b), nb);
}

} // namespace

int CompareK5(const char* a, int na, const char* b, int nb) {
    return collation::Compare(a, na, b, nb);
}

std::string FoldName(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    auto p = reinterpret_cast<const unsigned char*>(s.data());
    const auto e = p + s.size();
    while (p < e)
        utf8::Append(out, collation::FoldCp(utf8::Next(p, e)));
    return out;
}

bool SameName(const std::string& a, const std::string& b) {
    return CompareK5(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size())) == 0;
}

void RegisterCollation(sqlite3* db) {
    sqlite3_create_collation_v2(db, kCollation, SQLITE_UTF8, nullptr, CollationCallback, nullptr);
}

bool IsInternalName(const std::string& name) {
    auto starts = [&](const char* prefix) {
        const size_t n = std::char_traits<char>::length(prefix);
        if (name.size() < n) return false;
        for (size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(name[i])) != prefix[i]) return false;
        return true;
    };
    return starts("sqlite_") || starts("_k5_");
}

std::string Quote(const std::string& identifier) {
    std::string out = "\"";
    for (char c : identifier) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

} // namespace k5::db::detail
