#include "app/Headless.h"

#include "app/headless/HeadlessArgs.h"
#include "app/headless/HeadlessInteraction.h"
#include "app/headless/HeadlessPrinter.h"
#include "maintenance/Context.h"
#include "maintenance/FrontEnd.h"
#include "maintenance/RunStart.h"
#include "support/Error.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitError = 2;

// A scheduled run leaves a record of why it stopped: the description is the last entry of
// the protocol, in the text log and in the RTF log saved after it.
void RecordFailure(k5::RunProtocol& log, const std::string& description) {
    try {
        // Below a step left open, which keeps its marker.
        log.EndOpenStep();
        log.LogAdd(description, false, std::nullopt, true);
        if (!log.State().mLogFileRtf.empty()) log.Pane().SaveRtf(log.State().mLogFileRtf);
    } catch (const k5::K5Error&) {
        // The logs cannot be written, which may be the very failure: standard error has it.
    }
}

} // namespace

int RunHeadless(int argc, char** argv, k5::Env& env) {
    std::string error;
    std::optional<k5::HeadlessFlags> flags = k5::ParseFlags(argc, argv, error);
    if (!flags) {
        std::fprintf(stderr, "K5VedovodeduzOR: %s\n\n%s", error.c_str(), HeadlessUsage());
        return kExitError;
    }
    if (flags->help) {
        std::fputs(HeadlessUsage(), stdout);
        return kExitOk;
    }

    // From the start: a Ctrl+C while the program is still starting asks the run to stop as
    // soon as it polls. A closed standard output (a pipe to "head", a dropped remote
    // session) ends nothing: the logs are written and the exit code tells the outcome.
    k5::CatchInterrupts();
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    k5::RunState state;
    k5::HeadlessInteraction ui(state);
    k5::RunProtocol log(state, ui, env);
    k5::ProtocolPrinter printer(stdout, isatty(STDOUT_FILENO) == 1, &ui);
    log.AddListener(printer);
    const std::unique_ptr<k5::db::DBEngine> engine = k5::MakeRunEngine(env);
    const k5::EngineProgressReport progress(
        *engine, [&ui](int64_t done, int64_t total) { ui.Progress("База данных", done, total); });
    k5::MaintenanceContext ctx{state, log, ui, env, flags->options, *engine};

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
    // The handler stays until the process is gone: a Ctrl+C while the finished run shuts
    // down must not turn its exit code into a death by signal.
    return code;
}
