// The test build of the program runs on the TestEnv its environment variables set.
#include "common/FaultEnv.h"

#include "app/ProgramEnv.h"
#include "support/UserInteraction.h"

#include <cstdlib>
#include <string>

namespace k5test {

namespace {

int64_t Number(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return 0;
    return std::strtoll(v, nullptr, 10);
}

void SetFromVariables(TestEnv& env) {
    TestEnv::Faults& f = env.faults;
    f.crashAfterEntry = Number("K5_TEST_CRASH_AFTER_ENTRY");
    f.crashAtCall = Number("K5_TEST_CRASH_AT_FS_CALL");
    f.failAtCall = Number("K5_TEST_FAIL_AT_FS_CALL");
    f.sticky = Number("K5_TEST_FAIL_STICKY") != 0;
    f.noHardLinks = Number("K5_TEST_NO_HARD_LINKS") != 0;
    f.noExchange = Number("K5_TEST_NO_EXCHANGE") != 0;
    if (const int64_t e = Number("K5_TEST_FAIL_ERRNO"); e > 0) f.failError = static_cast<int>(e);
    if (const char* lose = std::getenv("K5_TEST_LOSE_WRITE"); lose != nullptr) {
        const std::string text = lose;
        if (const size_t colon = text.rfind(':'); colon != std::string::npos && colon > 0) {
            f.loseWriteName = text.substr(0, colon);
            f.loseWriteAt = std::strtoll(text.c_str() + colon + 1, nullptr, 10);
        }
    }
    if (const char* path = std::getenv("K5_TEST_FAULT_LOG"); path != nullptr) f.logPath = path;
    if (Number("K5_TEST_SHORT_PAUSES") != 0)
        env.pause = [&env](k5::Wait which, k5::UserInteraction& ui) {
            // The wait before a run stamp keeps two runs from sharing one: it stays.
            if (which == k5::Wait::RunStamp) return env.SystemEnv::Pause(which, ui);
            ui.YieldOnce();
        };
}

} // namespace

TestEnv& FaultEnvFromVariables() {
    static TestEnv env;
    static const bool set = (SetFromVariables(env), true);
    (void)set;
    return env;
}

} // namespace k5test

k5::Env& ProgramEnv() {
    return k5test::FaultEnvFromVariables();
}
