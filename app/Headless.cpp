#include "app/Headless.h"

#include "maintenance/Context.h"
#include "maintenance/RunStart.h"
#include "support/Error.h"
#include "support/Utf8.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using k5::Answer;
using k5::BoxIcon;

constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitError = 2;

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

struct Flags {
    bool batch = false;
    bool help = false;
    bool checkOnly = false;
    std::optional<std::string> folder;
    std::string limit = "0";
    k5::FixedRunOptions options;
};

// Nothing when the arguments are not understood; `error` then says why.
std::optional<Flags> ParseFlags(int argc, char** argv, std::string& error) {
    Flags f;
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

volatile std::sig_atomic_t gInterrupts = 0;

extern "C" void OnInterrupt(int) {
    gInterrupts = gInterrupts + 1;
    // The second Ctrl+C ends the program the ordinary way.
    std::signal(SIGINT, SIG_DFL);
}

// Nobody is at the screen: every question gets the answer the defaults imply, boxes go to
// standard error, and the yields run Qt's events and see Ctrl+C as a confirmed "Отмена".
class HeadlessInteraction : public k5::UserInteraction {
public:
    explicit HeadlessInteraction(k5::RunState& state)
        : mState(state), mProgressTty(isatty(STDERR_FILENO) == 1) {}

    bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon) override {
        Note(caption, text + " -> Нет");
        return false;
    }
    Answer AskYesNoCancel(const std::string& text, const std::string& caption, BoxIcon) override {
        Note(caption, text + " -> Нет");
        return Answer::No;
    }
    void ShowMessage(const std::string& text, const std::string& caption, BoxIcon) override {
        Note(caption, text);
    }
    std::optional<std::string> InputBox(const std::string& prompt, const std::string& title,
                                        const std::string&) override {
        Note(title, prompt + " -> (пусто)");
        return std::nullopt;
    }
    void YieldOnce() override {
        // A pass of the event loop costs more than copying a small row, and nothing here
        // waits on it but signals: pass at most every 5 ms. Ctrl+C is still seen at once.
        const auto now = std::chrono::steady_clock::now();
        if (now - mLastPump >= std::chrono::milliseconds(5)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            mLastPump = now;
        }
        if (gInterrupts > 0 && !mState.mStopRequested) {
            mState.mStopRequested = true;
            Note("", "Прерывание профилактики запрошено (Ctrl+C).");
        }
    }
    void Progress(const std::string& step, int64_t done, int64_t total) override {
        if (mProgressTty) {
            const auto now = std::chrono::steady_clock::now();
            if (step != mLastStep || now - mLastProgress >= std::chrono::milliseconds(250)) {
                mLastStep = step;
                mLastProgress = now;
                std::string info = "[" + step + ": " + std::to_string(done);
                if (total > 0)
                    info += " из " + std::to_string(total) + ", " + std::to_string(done * 100 / total) + "%";
                info += "]";
                const std::string prefix = mScreenLine && !mScreenLine->empty() ? *mScreenLine + " " : "";
                // A wrapped line cannot be redrawn in place: no progress then.
                if (VisibleWidth(prefix + info) >= TerminalWidth()) return YieldOnce();
                std::fputs(("\r\033[K" + prefix + info).c_str(), stderr);
                std::fflush(stderr);
                mProgressShown = true;
            }
        }
        YieldOnce();
    }
    bool StartProgram(const std::string& program, const std::string&) override {
        Note("", "Запуск " + program + " без окна не выполняется.");
        return false;
    }
    bool ShowInFileManager(const std::string&, bool) override { return false; }

    // When the protocol goes to the same terminal, the progress is drawn after the
    // protocol's unfinished line, and wiping it redraws that line.
    void ShareTerminalLine(const std::string* line) { mScreenLine = line; }

    void ClearProgress() {
        if (!mProgressShown) return;
        const std::string redraw = mScreenLine ? *mScreenLine : std::string();
        std::fputs(("\r\033[K" + redraw).c_str(), stderr);
        std::fflush(stderr);
        mProgressShown = false;
    }

private:
    static size_t VisibleWidth(const std::string& s) {
        size_t n = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\033') { // skip an escape sequence up to its final letter
                while (i < s.size() && !((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z')))
                    ++i;
                continue;
            }
            n += k5::utf8::CodePoints(std::string_view(&s[i], 1));
        }
        return n;
    }
    static size_t TerminalWidth() {
        winsize ws{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
        return 80;
    }

    void Note(const std::string& caption, const std::string& text) {
        ClearProgress();
        std::fflush(stdout);
        const std::string line = caption.empty() ? text : caption + ": " + text;
        // Below the protocol's unfinished line, if any.
        const bool midLine = mScreenLine && !mScreenLine->empty();
        std::fprintf(stderr, "%s%s\n", midLine ? "\n" : "", line.c_str());
    }

    k5::RunState& mState;
    bool mProgressTty;
    bool mProgressShown = false;
    const std::string* mScreenLine = nullptr;
    std::string mLastStep;
    std::chrono::steady_clock::time_point mLastProgress{};
    std::chrono::steady_clock::time_point mLastPump{};
};

// Writes what the protocol pane receives to standard output as it arrives. A step under
// way shows its opening half; its closing half completes the same line (a line that stays
// open gets its " ..." marker, as the pane keeps it).
class ProtocolPrinter {
public:
    ProtocolPrinter(HeadlessInteraction& ui, bool terminal) : mUi(ui), mTerminal(terminal) {
        if (mTerminal) mUi.ShareTerminalLine(&mScreenLine);
    }

    void OnChange(int64_t start, int64_t length, const std::string& text, uint32_t colour, bool bold) {
        mUi.ClearProgress();
        if (text.empty() && start == 0 && length > 0) { // the pane was cleared
            EndPendingLine();
            mPaneLength = 0;
            std::fflush(stdout);
            return;
        }
        const int64_t marker = static_cast<int64_t>(kMarker.size());
        if (mPending && length == marker && start == mPaneLength - marker) {
            mPending = false;
            Emit(text, colour, bold);
        } else {
            if (mPending) {
                // Text after a pending marker leaves the marker in the protocol for good.
                mPending = false;
                Emit(kMarker, mPendingColour, mPendingBold);
            }
            if (text.size() >= kMarker.size() &&
                text.compare(text.size() - kMarker.size(), kMarker.size(), kMarker) == 0) {
                Emit(text.substr(0, text.size() - kMarker.size()), colour, bold);
                mPending = true;
                mPendingColour = colour;
                mPendingBold = bold;
            } else {
                Emit(text, colour, bold);
            }
        }
        mPaneLength += static_cast<int64_t>(k5::utf8::Utf16Units(text)) - length;
        std::fflush(stdout);
    }

    // A line left open (a failure in the middle of a step) ends with its marker, as the
    // pane shows it.
    void Finish() {
        mUi.ClearProgress();
        EndPendingLine();
        if (!mScreenLine.empty()) Emit("\n", 0, false);
        std::fflush(stdout);
    }

private:
    static inline const std::string kMarker = " ...";

    void EndPendingLine() {
        if (!mPending) return;
        mPending = false;
        Emit(kMarker, mPendingColour, mPendingBold);
        Emit("\n", 0, false);
    }

    // CR LF becomes LF; colours never span a line break.
    void Emit(const std::string& text, uint32_t colour, bool bold) {
        const std::string code = mTerminal ? AnsiCode(colour, bold) : std::string();
        std::string piece;
        auto flushPiece = [&] {
            if (piece.empty()) return;
            const std::string rendered = code.empty() ? piece : code + piece + "\033[0m";
            std::fputs(rendered.c_str(), stdout);
            mScreenLine += rendered;
            piece.clear();
        };
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
            if (c == '\n') {
                flushPiece();
                std::fputs("\n", stdout);
                mScreenLine.clear();
                continue;
            }
            piece += c;
        }
        flushPiece();
    }

    static std::string AnsiCode(uint32_t colour, bool bold) {
        std::string code = bold ? "\033[1m" : "";
        switch (colour) {
        case k5::kColourBlack:
            break;
        case k5::kColourDarkRed:
            code += "\033[31m";
            break;
        case k5::kColourRed:
            code += "\033[91m";
            break;
        case k5::kColourGreen:
            code += "\033[32m";
            break;
        case k5::kColourMagenta:
            code += "\033[35m";
            break;
        default: // red in the low byte
            code += "\033[38;2;" + std::to_string(colour & 0xFF) + ";" +
                    std::to_string((colour >> 8) & 0xFF) + ";" + std::to_string((colour >> 16) & 0xFF) + "m";
        }
        return code;
    }

    HeadlessInteraction& mUi;
    bool mTerminal;
    bool mPending = false;
    uint32_t mPendingColour = 0;
    bool mPendingBold = false;
    std::string mScreenLine; // what the terminal shows of the unfinished line
    int64_t mPaneLength = 0;
};

// A scheduled run leaves a record of why it stopped: the description is the last entry of
// the protocol, in the text log and in the RTF log saved after it.
void RecordFailure(k5::RunProtocol& log, const std::string& description) {
    try {
        k5::RichPane& pane = log.Pane();
        // Below a step left open, which keeps its marker.
        if (pane.Length() > 0 && !pane.Text().ends_with("\r\n")) {
            pane.SetSelection(pane.Length(), 0);
            pane.ReplaceSelection("\r\n", k5::kColourBlack, false);
        }
        log.LogAdd(description, false, std::nullopt, true);
        if (!log.State().mLogFileRtf.empty()) pane.SaveRtf(log.State().mLogFileRtf);
    } catch (const k5::K5Error&) {
        // The logs cannot be written, which may be the very failure: standard error has it.
    }
}

} // namespace

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

int RunHeadless(int argc, char** argv, k5::Env& env) {
    std::string error;
    std::optional<Flags> flags = ParseFlags(argc, argv, error);
    if (!flags) {
        std::fprintf(stderr, "K5VedovodeduzOR: %s\n\n%s", error.c_str(), kUsage);
        return kExitError;
    }
    if (flags->help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }

    // From the start: a Ctrl+C while the program is still starting asks the run to stop as
    // soon as it polls. A closed standard output (a pipe to "head", a dropped remote
    // session) ends nothing: the logs are written and the exit code tells the outcome.
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    k5::RunState state;
    HeadlessInteraction ui(state);
    k5::RunProtocol log(state, ui, env);
    ProtocolPrinter printer(ui, isatty(STDOUT_FILENO) == 1);
    log.Pane().AddListener([&printer](int64_t start, int64_t length, const std::string& text, uint32_t colour,
                                      bool bold) { printer.OnChange(start, length, text, colour, bold); });
    k5::db::DBEngine engine(env);
    engine.SetProgressHook([&ui](int64_t done, int64_t total) { ui.Progress("База данных", done, total); });
    k5::MaintenanceContext ctx{state, log, ui, env, flags->options, engine};

    int code = kExitOk;
    try {
        const std::string notSaved = flags->checkOnly ? k5::StartCheckOnly(ctx) : k5::StartRun(ctx);
        printer.Finish();
        ui.ClearProgress();
        if (!notSaved.empty()) std::fprintf(stderr, "Протокол не сохранён: %s\n", notSaved.c_str());
        code = state.mProphylaxisOk ? kExitOk : kExitProblems;
    } catch (const k5::K5Error& e) {
        RecordFailure(log, "Непредвиденная ошибка " + std::to_string(e.Number()) + ":\r\n" + e.Description());
        printer.Finish();
        ui.ClearProgress();
        std::string text = e.Description();
        for (size_t p; (p = text.find("\r\n")) != std::string::npos;)
            text.replace(p, 2, "\n");
        std::fprintf(stderr, "Непредвиденная ошибка %d:\n%s\n", e.Number(), text.c_str());
        code = kExitError;
    } catch (const std::exception& e) {
        RecordFailure(log, std::string("Непредвиденная ошибка: ") + e.what());
        printer.Finish();
        ui.ClearProgress();
        std::fprintf(stderr, "Непредвиденная ошибка: %s\n", e.what());
        code = kExitError;
    }
    engine.SetProgressHook(nullptr);
    // The handler stays until the process is gone: a Ctrl+C while the finished run shuts
    // down must not turn its exit code into a death by signal.
    return code;
}
