// DBEngine and Database over one SQLite file per database.
#include "dbengine/EngineInternal.h"
#include "support/Background.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace k5::db {

using namespace detail;

namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    const size_t n = std::char_traits<char>::length(prefix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

std::string FirstWord(const char* sql) {
    std::string w;
    while (*sql && std::isspace(static_cast<unsigned char>(*sql)))
        ++sql;
    while (*sql && std::isalpha(static_cast<unsigned char>(*sql)))
        w += static_cast<char>(std::toupper(static_cast<unsigned char>(*sql++)));
    return w;
}

std::string InvalidNameText(const std::string& name) {
    return "'" + name +
           "' не является допустимым именем. Убедитесь, что оно не содержит недопустимых знаков или знаков "
           "пунктуации и не является слишком длинным.";
}

std::string DefaultText(const Value& v) {
    if (IsNull(v)) return {};
    if (auto s = std::get_if<std::string>(&v)) return *s;
    Field memo;
    memo.Type = dbMemo;
    return std::get<std::string>(ConvertForField(memo, v));
}

using StmtPtr = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

class SqliteDatabase final : public Database {
public:
    explicit SqliteDatabase(std::shared_ptr<Connection> conn) : mConn(std::move(conn)) {}
    ~SqliteDatabase() override {
        if (mConn) mConn->CloseAll();
    }

    std::string Version() override {
        mConn->CheckOpen();
        if (!mConn->hasCatalog) return kFormatVersion;
        sqlite3_stmt* st = mConn->Prepare("SELECT value FROM _k5_meta WHERE key = 'format_version'");
        std::string v = kFormatVersion;
        if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
            v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return v;
    }

    std::string Name() override { return mConn->path; }

    void Close() override {
        if (mConn->closed) return;
        try {
            mConn->RunLong([&] {
                mConn->BuildPendingIndexes();
                mConn->Commit();
            });
        } catch (...) {
            mConn->CloseAll();
            throw;
        }
        mConn->CloseAll();
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& source, int type) override {
        mConn->CheckOpen();
        const bool looksLikeName = source.find_first_of(" \t\r\n(") == std::string::npos;
        const std::string stored = looksLikeName || type == dbOpenTable ? ResolveTable(*mConn, source) : "";
        if (!stored.empty()) return OpenTableRecordset(mConn, stored);
        if (type != dbOpenTable && looksLikeName)
            Raise(3078, "Не удается найти входную таблицу или запрос '" + source +
                            "'. Убедитесь, что он существует и его имя введено правильно.");
        if (type == dbOpenTable)
            Raise(3011, "Не удается найти объект '" + source +
                            "'. Убедитесь, что объект существует и что его имя и путь введены правильно.");
        mConn->RunLong([&] { mConn->BuildPendingIndexes(); });
        return OpenSqlRecordset(mConn, source);
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& sql,
                                             const std::vector<Value>& params) override {
        mConn->CheckOpen();
        mConn->RunLong([&] { mConn->BuildPendingIndexes(); });
        return OpenSqlRecordset(mConn, sql, params);
    }

    void Execute(const std::string& sql) override {
        mConn->CheckOpen();
        mAffected = 0;
        bool ddl = false;
        mConn->RunLong([&] {
            mConn->BuildPendingIndexes();
            const char* tail = sql.c_str();
            const char* end = tail + sql.size();
            while (tail < end) {
                sqlite3_stmt* st = nullptr;
                const char* next = nullptr;
                int rc = sqlite3_prepare_v2(mConn->db, tail, static_cast<int>(end - tail), &st, &next);
                if (rc != SQLITE_OK) {
                    sqlite3_finalize(st);
                    RaiseSqlite(mConn->db, rc, mConn->path);
                }
                tail = next;
                if (!st) continue; // blanks or a comment after the last statement
                if (sqlite3_column_count(st) > 0 && sqlite3_stmt_readonly(st)) {
                    sqlite3_finalize(st);
                    Raise(3065, "Невозможно выполнить запрос на выборку.");
                }
                const std::string word = FirstWord(sqlite3_sql(st));
                ddl = ddl || word == "DROP" || word == "ALTER";
                const int64_t before = sqlite3_total_changes64(mConn->db);
                while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                }
                sqlite3_finalize(st);
                if (rc != SQLITE_DONE) RaiseSqlite(mConn->db, rc, mConn->path);
                mAffected += sqlite3_total_changes64(mConn->db) - before;
            }
        });
        if (ddl && mConn->hasCatalog) PurgeCatalog();
    }

    int64_t RecordsAffected() override { return mAffected; }

    std::vector<std::string> TableNames() override {
        mConn->CheckOpen();
        return ListTables(*mConn);
    }

    TableDef GetTableDef(const std::string& name) override {
        mConn->CheckOpen();
        const std::string stored = ResolveTable(*mConn, name);
        if (stored.empty()) Raise(3265, TextNotFoundItem());
        return LoadTableDef(*mConn, stored);
    }

    void AppendTableDef(const TableDef& input) override {
        mConn->CheckOpen();
        const TableDef def = Validate(input);
        mConn->EnsureCatalog();
        mConn->Exec("SAVEPOINT k5_append");
        try {
            // A primary key of one ascending Long field is the table's own key (an INTEGER PRIMARY KEY
            // column): no separate index to maintain, and the rows are kept in key order.
            const int keyField = RowidKeyField(def);
            std::string sql = "CREATE TABLE " + Quote(def.Name) + " (";
            for (size_t i = 0; i < def.Fields.size(); ++i) {
                const Field& f = def.Fields[i];
                sql +=
                    (i ? ", " : "") + Quote(f.Name) + " " +
                    (static_cast<int>(i) == keyField ? std::string("INTEGER PRIMARY KEY") : DeclaredType(f));
                if (f.Required) sql += " NOT NULL";
                if (IsTextType(f.Type)) sql += std::string(" COLLATE ") + kCollation;
            }
            sql += ")";
            mConn->Exec(sql);
            StmtPtr fieldsSt(mConn->Prepare("INSERT INTO _k5_fields(tbl, pos, name, type, size, attributes, "
                                            "allow_zero_length, required,"
                                            " default_value) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
                             sqlite3_finalize);
            sqlite3_stmt* st = fieldsSt.get();
            for (size_t i = 0; i < def.Fields.size(); ++i) {
                const Field& f = def.Fields[i];
                sqlite3_bind_text(st, 1, def.Name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(st, 2, static_cast<int>(i));
                sqlite3_bind_text(st, 3, f.Name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(st, 4, f.Type);
                sqlite3_bind_int(st, 5, f.Size);
                sqlite3_bind_int(st, 6, f.Attributes);
                sqlite3_bind_int(st, 7, f.AllowZeroLength ? 1 : 0);
                sqlite3_bind_int(st, 8, f.Required ? 1 : 0);
                if (IsNull(f.DefaultValue))
                    sqlite3_bind_null(st, 9);
                else
                    sqlite3_bind_text(st, 9, DefaultText(f.DefaultValue).c_str(), -1, SQLITE_TRANSIENT);
                StepOnce(st);
            }
            StmtPtr indexesSt(
                mConn->Prepare("INSERT INTO _k5_indexes(tbl, pos, name, sql_name, is_primary, is_unique,"
                               " ignore_nulls) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"),
                sqlite3_finalize);
            st = indexesSt.get();
            StmtPtr fieldsOfIndexSt(mConn->Prepare("INSERT INTO _k5_index_fields(tbl, index_pos, pos, name, "
                                                   "attributes) VALUES (?1, ?2, ?3, ?4, ?5)"),
                                    sqlite3_finalize);
            sqlite3_stmt* fs = fieldsOfIndexSt.get();
            for (size_t i = 0; i < def.Indexes.size(); ++i) {
                const Index& ix = def.Indexes[i];
                const std::string sqlName = (ix.Primary && keyField >= 0) ? "" : def.Name + "." + ix.Name;
                sqlite3_bind_text(st, 1, def.Name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(st, 2, static_cast<int>(i));
                sqlite3_bind_text(st, 3, ix.Name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_text(st, 4, sqlName.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(st, 5, ix.Primary ? 1 : 0);
                sqlite3_bind_int(st, 6, ix.Unique ? 1 : 0);
                sqlite3_bind_int(st, 7, ix.IgnoreNulls ? 1 : 0);
                StepOnce(st);
                for (size_t k = 0; k < ix.Fields.size(); ++k) {
                    sqlite3_bind_text(fs, 1, def.Name.c_str(), -1, SQLITE_TRANSIENT);
                    sqlite3_bind_int(fs, 2, static_cast<int>(i));
                    sqlite3_bind_int(fs, 3, static_cast<int>(k));
                    sqlite3_bind_text(fs, 4, ix.Fields[k].Name.c_str(), -1, SQLITE_TRANSIENT);
                    sqlite3_bind_int(fs, 5, ix.Fields[k].Attributes);
                    StepOnce(fs);
                }
            }
            // Unique indexes refuse duplicates row by row; the others are built after the rows.
            mConn->BuildPendingIndexes(def.Name, true);
            mConn->Exec("RELEASE k5_append");
        } catch (...) {
            sqlite3_exec(mConn->db, "ROLLBACK TO k5_append; RELEASE k5_append;", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void DeleteTableDef(const std::string& name) override {
        mConn->CheckOpen();
        const std::string stored = ResolveTable(*mConn, name);
        if (stored.empty()) Raise(3265, TextNotFoundItem());
        // Open statements on the table would keep it locked: its recordsets and SQL ones close.
        for (auto* rs : std::vector<RecordsetBase*>(mConn->recordsets))
            if (!rs->Table() || SameName(*rs->Table(), stored)) rs->Invalidate();
        mConn->Exec("SAVEPOINT k5_delete");
        try {
            mConn->Exec("DROP TABLE " + Quote(stored));
            if (mConn->hasCatalog) PurgeCatalog();
            mConn->Exec("RELEASE k5_delete");
        } catch (...) {
            sqlite3_exec(mConn->db, "ROLLBACK TO k5_delete; RELEASE k5_delete;", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void SetProgressHook(ProgressHook hook) override { mConn->progress = std::move(hook); }

    std::string IntegrityCheck() override {
        mConn->CheckOpen();
        std::string report;
        try {
            mConn->RunLong([&] {
                sqlite3_stmt* st = mConn->Prepare("PRAGMA integrity_check");
                int rc;
                while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                    const char* line = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
                    if (line && std::string(line) != "ok")
                        report += (report.empty() ? "" : "\n") + std::string(line);
                }
                sqlite3_finalize(st);
                if (rc != SQLITE_DONE) RaiseSqlite(mConn->db, rc, mConn->path);
            });
        } catch (const EngineError& e) {
            if (e.Number() == 3059) throw;
            report += (report.empty() ? "" : "\n") + e.Description();
        }
        return report;
    }

private:
    void StepOnce(sqlite3_stmt* st) {
        const int rc = sqlite3_step(st);
        sqlite3_reset(st);
        if (rc != SQLITE_DONE) RaiseSqlite(mConn->db, rc, mConn->path);
    }

    static int RowidKeyField(const TableDef& def) {
        for (const Index& ix : def.Indexes) {
            if (!ix.Primary || ix.Fields.size() != 1 || (ix.Fields[0].Attributes & dbDescending)) continue;
            for (size_t i = 0; i < def.Fields.size(); ++i)
                if (SameName(def.Fields[i].Name, ix.Fields[0].Name) && def.Fields[i].Type == dbLong)
                    return static_cast<int>(i);
        }
        return -1;
    }

    void PurgeCatalog() {
        for (const char* t : {"_k5_fields", "_k5_indexes", "_k5_index_fields"})
            mConn->Exec(std::string("DELETE FROM ") + t +
                        " WHERE tbl NOT IN (SELECT name FROM sqlite_schema WHERE type = 'table')");
    }

    TableDef Validate(const TableDef& input) {
        TableDef def = input;
        if (def.Name.empty() || StartsWithNoCase(def.Name, "sqlite_") || StartsWithNoCase(def.Name, "_k5_"))
            Raise(3125, InvalidNameText(def.Name));
        if (!ResolveTable(*mConn, def.Name).empty())
            Raise(3010, "Таблица '" + def.Name + "' уже существует.");
        if (def.Fields.empty())
            Raise(3264, "Поля не определены — невозможно добавить объект TableDef или Index.");
        for (size_t i = 0; i < def.Fields.size(); ++i) {
            Field& f = def.Fields[i];
            if (f.Name.empty()) Raise(3125, InvalidNameText(f.Name));
            for (size_t k = 0; k < i; ++k)
                if (SameName(def.Fields[k].Name, f.Name))
                    Raise(3191, "Не удается определить поле '" + f.Name + "' более одного раза.");
            if (!IsKnownType(f.Type)) Raise(3259, "Недопустимый тип данных поля.");
            if ((f.Attributes & dbAutoIncrField) && f.Type != dbLong)
                Raise(3259, "Недопустимый тип данных поля.");
            if (f.Type == dbText || f.Type == dbBinary) {
                if (f.Size == 0) f.Size = f.Type == dbText ? 50 : 255;
                if (f.Size < 1 || f.Size > 255) Raise(3259, "Недопустимый тип данных поля.");
            } else {
                f.Size = FixedSize(f.Type);
            }
            if (!IsNull(f.DefaultValue)) f.DefaultValue = DefaultText(f.DefaultValue);
        }
        bool primarySeen = false;
        for (size_t i = 0; i < def.Indexes.size(); ++i) {
            const Index& ix = def.Indexes[i];
            if (ix.Name.empty()) Raise(3125, InvalidNameText(ix.Name));
            for (size_t k = 0; k < i; ++k)
                if (SameName(def.Indexes[k].Name, ix.Name))
                    Raise(3284, "Индекс '" + ix.Name + "' уже существует.");
            if (ix.Fields.empty())
                Raise(3264, "Поля не определены — невозможно добавить объект TableDef или Index.");
            if (ix.Primary && primarySeen) Raise(3283, "Основной ключ уже существует.");
            primarySeen = primarySeen || ix.Primary;
            for (auto& xf : ix.Fields)
                if (std::none_of(def.Fields.begin(), def.Fields.end(),
                                 [&](const Field& f) { return SameName(f.Name, xf.Name); }))
                    Raise(3265, TextNotFoundItem());
        }
        return def;
    }

    std::shared_ptr<Connection> mConn;
    int64_t mAffected = 0;
};

} // namespace

namespace detail {
std::unique_ptr<Database> MakeDatabase(std::shared_ptr<Connection> conn) {
    if (conn->salvageOnly) return MakeSalvageDatabase(std::move(conn));
    return std::make_unique<SqliteDatabase>(std::move(conn));
}
} // namespace detail

DBEngine& DBEngine::Instance() {
    static DBEngine engine;
    return engine;
}

std::string DBEngine::Version() const {
    return std::string(kFormatVersion) + " (SQLite " + sqlite3_libversion() + ")";
}

std::unique_ptr<Database> DBEngine::CreateDatabase(const std::string& path, const std::string& locale,
                                                   int options) {
    auto conn = OpenConnection(path, true, false, true, mProgress);
    if (!locale.empty()) {
        sqlite3_stmt* st = conn->Prepare("INSERT OR REPLACE INTO _k5_meta(key, value) VALUES ('locale', ?1)");
        sqlite3_bind_text(st, 1, locale.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }
    return MakeDatabase(std::move(conn));
}

std::unique_ptr<Database> DBEngine::OpenDatabase(const std::string& path, bool exclusive, bool readOnly) {
    return MakeDatabase(OpenConnection(path, exclusive, readOnly, false, mProgress));
}

std::unique_ptr<FileHold> DBEngine::HoldFile(const std::string& path) {
    return detail::HoldFile(path);
}

bool DBEngine::IsCompact(const std::string& path) {
    std::shared_ptr<detail::Connection> conn;
    try {
        conn = OpenConnection(path, false, true, false, mProgress);
    } catch (const K5Error&) {
        return false;
    }
    auto number = [&](const char* sql) {
        int64_t value = -1;
        sqlite3_stmt* st = nullptr;
        if (conn->db != nullptr && sqlite3_prepare_v2(conn->db, sql, -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            value = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return value;
    };
    const int64_t pages = number("PRAGMA page_count"), free = number("PRAGMA freelist_count");
    const int64_t pendingIndexes =
        conn->hasCatalog ? number("SELECT count(*) FROM _k5_indexes i WHERE i.sql_name <> '' AND NOT EXISTS "
                                  "(SELECT 1 FROM sqlite_schema s WHERE s.type = 'index' AND s.name = i.sql_name)"
                                  " AND EXISTS (SELECT 1 FROM sqlite_schema t WHERE t.type = 'table' AND "
                                  "t.name = i.tbl)")
                         : 0;
    conn->CloseAll();
    return pages > 0 && free >= 0 && free * 100 < pages && pendingIndexes == 0;
}

void DBEngine::CompactDatabase(const std::string& source, const std::string& destination) {
    const std::string dst = PlainPath(destination);
    struct stat st {};
    if (::lstat(dst.c_str(), &st) == 0) Raise(3204, "База данных уже существует.");
    {
        const auto slash = dst.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : dst.substr(0, slash);
        struct stat fst {};
        if (::stat(folder.c_str(), &fst) != 0 || !S_ISDIR(fst.st_mode))
            Raise(3044,
                  "'" + destination +
                      "' не является допустимым путем. Убедитесь, что путь введен правильно и что имеется "
                      "подключение к серверу, на котором находится файл.");
    }
    auto src = OpenConnection(source, false, true, false, mProgress);
    auto removeDestination = [&] {
        ::unlink(dst.c_str());
        ::unlink((dst + "-journal").c_str());
    };
    int rc = SQLITE_OK;
    std::string message;
    bool damaged = false;
    try {
        src->RunLong([&] {
            sqlite3_stmt* vac = src->Prepare("VACUUM INTO ?1");
            sqlite3_bind_text(vac, 1, dst.c_str(), -1, SQLITE_TRANSIENT);
            rc = sqlite3_step(vac);
            message = sqlite3_errmsg(src->db);
            sqlite3_finalize(vac);
            if (rc == SQLITE_DONE || rc == SQLITE_INTERRUPT) return;
            // A damaged source can make the copy fail with any code; tell it as damage.
            sqlite3_stmt* qc = nullptr;
            damaged = true;
            if (sqlite3_prepare_v2(src->db, "PRAGMA quick_check", -1, &qc, nullptr) == SQLITE_OK &&
                sqlite3_step(qc) == SQLITE_ROW) {
                const char* line = reinterpret_cast<const char*>(sqlite3_column_text(qc, 0));
                damaged = !line || std::string(line) != "ok";
            }
            sqlite3_finalize(qc);
        });
    } catch (...) {
        removeDestination();
        throw;
    }
    if (rc != SQLITE_DONE) {
        removeDestination();
        if (damaged) Raise(3049, TextDamaged(source));
        RaiseSqlite(nullptr, rc, source + " [" + message + "]");
    }
    src->CloseAll();
    // Flushing a copy of gigabytes takes seconds: it runs in the background while the
    // progress hook keeps the caller's event loop alive.
    std::function<void()> tick;
    if (mProgress) tick = [this] { mProgress(0, 0); };
    try {
        // The copy reaches the disk first, so the commit below has little left to flush.
        RunWithTicks([&] { SyncFileAndFolder(destination); }, tick);
        // Indexes that the source had not built yet are built in the copy.
        auto out = OpenConnection(destination, true, false, false, mProgress);
        out->RunLong([&] {
            out->BuildPendingIndexes();
            out->Commit();
        });
        out->CloseAll();
        RunWithTicks([&] { SyncFileAndFolder(destination); }, tick);
    } catch (...) {
        removeDestination();
        throw;
    }
}

} // namespace k5::db
