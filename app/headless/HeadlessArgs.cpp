#include "app/headless/HeadlessArgs.h"

namespace {

const char* const kUsage =
    "Использование:\n"
    "  K5VedovodeduzOR --batch [--folder ПАПКА] [--check-only] [--limit N] [--remove-orphaned]\n"
    "                  [--clear-pfr-errors] [--remove-orphaned-bigdocs] [--compact-bigdocs]\n"
    "                  [--zip-and-rename]\n"
    "  K5VedovodeduzOR --help\n"
    "  K5VedovodeduzOR                  (без --batch и --help: окно программы)\n"
    "\n"
    "Профилактика базы данных Корунд-5W без окна: для запуска по расписанию и на удалённой машине.\n"
    "Протокол выводится в стандартный вывод по мере записи (с цветом, если это терминал) и\n"
    "сохраняется, как при нажатии \"Выполнить\", в папке \"Профилактика_БД\" папки базы данных:\n"
    "Log_<время>.txt (Windows-1251) и Log_<время>.rtf.\n"
    "\n"
    "Параметры:\n"
    "  --batch                    работать без окна\n"
    "  --folder ПАПКА             папка с БД (вместо поля \"Путь к папке с БД\"); без него берётся\n"
    "                             настройка DataBasePath\n"
    "  --check-only               только предварительные проверки, без профилактики; протоколы\n"
    "                             записываются\n"
    "  --limit N                  максимальное количество сообщений об ошибках для каждой таблицы\n"
    "                             (0 - без ограничения; по умолчанию 0)\n"
    "  --remove-orphaned          в таблицах удалять недоступные записи\n"
    "  --clear-pfr-errors         очистить результаты проверок документов персучета\n"
    "  --remove-orphaned-bigdocs  в подкаталоге BigDocs удалять недоступные файлы\n"
    "  --compact-bigdocs          сжимать файлы в подкаталоге BigDocs\n"
    "  --zip-and-rename           архивировать и переименовать Korund5.mdb независимо от результата\n"
    "                             профилактики\n"
    "  --help                     эта справка\n"
    "\n"
    "Вопросов программа не задаёт: ответ на каждый вопрос - ответ по умолчанию (\"Нет\", пустой ввод).\n"
    "Ход длительного шага показывается в стандартном потоке ошибок, если это терминал.\n"
    "Ctrl+C просит прервать профилактику, как кнопка \"Отмена\" (повторное Ctrl+C завершает программу).\n"
    "\n"
    "Код завершения:\n"
    "  0  ни одна запись протокола не сообщила об ошибке\n"
    "  1  в протоколе есть ошибки (проверки не пройдены или профилактика прошла с ошибками)\n"
    "  2  непредвиденная ошибка (её описание - в стандартном потоке ошибок) или неверные параметры\n";

} // namespace

namespace k5 {

// Nothing when the arguments are not understood; `error` then says why.
std::optional<HeadlessFlags> ParseFlags(int argc, const char* const* argv, std::string& error) {
    HeadlessFlags f;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= argc) {
                error = std::string("не задано значение параметра ") + name;
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (a == "--batch") {
            f.batch = true;
        } else if (a == "--help" || a == "-h") {
            f.help = true;
        } else if (a == "--check-only") {
            f.checkOnly = true;
        } else if (a == "--folder") {
            auto v = value("--folder");
            if (!v) return std::nullopt;
            if (v->empty()) {
                error = "пустое значение параметра --folder";
                return std::nullopt;
            }
            f.folder = *v;
        } else if (a == "--limit") {
            auto v = value("--limit");
            if (!v) return std::nullopt;
            bool digits = !v->empty() && v->size() <= 10;
            for (char c : *v)
                digits = digits && c >= '0' && c <= '9';
            if (!digits || std::stoll(*v) > 2147483647LL) {
                error = "значение параметра --limit должно быть целым числом от 0 до 2147483647: " + *v;
                return std::nullopt;
            }
            f.limit = std::to_string(std::stoll(*v));
        } else if (a == "--remove-orphaned") {
            f.options.removeOrphaned = true;
        } else if (a == "--clear-pfr-errors") {
            f.options.clearPfrErrors = true;
        } else if (a == "--remove-orphaned-bigdocs") {
            f.options.removeOrphanedBigDocs = true;
        } else if (a == "--compact-bigdocs") {
            f.options.compactBigDocs = true;
        } else if (a == "--zip-and-rename") {
            f.options.zipAndRename = true;
        } else {
            error = "неизвестный параметр: " + a;
            return std::nullopt;
        }
    }
    if (!f.batch && !f.help) {
        error = "не задан параметр --batch";
        return std::nullopt;
    }
    f.options.limitText = f.limit;
    f.options.folderText = f.folder.value_or(std::string());
    return f;
}

} // namespace k5

const char* HeadlessUsage() {
    return kUsage;
}

bool WantsHeadless(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--batch" || a == "--help" || a == "-h") return true;
    }
    return false;
}
