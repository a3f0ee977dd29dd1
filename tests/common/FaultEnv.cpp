// The Env of the test build of the program: a TestEnv set from the variables the reliability
// suite passes to the child it starts. The installed program never links this file.
//   K5_TEST_CRASH_AFTER_ENTRY=k  SIGKILL right after the k-th finished protocol entry
//   K5_TEST_CRASH_AT_FS_CALL=k   SIGKILL just before the k-th file-changing call
//   K5_TEST_FAIL_AT_FS_CALL=k    the k-th file-changing call fails with K5_TEST_FAIL_ERRNO
//                                (a number, default ENOSPC); with K5_TEST_FAIL_STICKY=1
//                                every later one fails too (a disk that stays full)
//   K5_TEST_FAULT_LOG=path       one line per counted call and entry ("fs N what",
//                                "entry N"), appended, for sweeps and diagnosis
//   K5_TEST_LOSE_WRITE=name:k    the k-th write into a database file whose name ends with
//                                `name` reports success but writes nothing
//   K5_TEST_SHORT_PAUSES=1       the waits after compactions are skipped, so that a sweep of
//                                thousands of runs is not spent waiting
//   K5_TEST_NO_HARD_LINKS=1      link() answers EPERM, as on a file system without hard links
//   K5_TEST_NO_EXCHANGE=1        an exchange of two names answers EINVAL
#include "app/ProgramEnv.h"
#include "common/TestEnv.h"
#include "support/UserInteraction.h"

#include <cstdlib>
#include <string>

namespace {

int64_t Number(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return 0;
    return std::strtoll(v, nullptr, 10);
}

k5test::TestEnv& FromVariables() {
    static k5test::TestEnv env;
    k5test::TestEnv::Faults& f = env.faults;
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
        env.pause = [](k5::Wait which, k5::UserInteraction& ui) {
            // The wait before a run stamp keeps two runs from sharing one: it stays.
            if (which == k5::Wait::RunStamp) return env.SystemEnv::Pause(which, ui);
            ui.YieldOnce();
        };
    return env;
}

} // namespace

k5::Env& ProgramEnv() {
    static k5test::TestEnv& env = FromVariables();
    return env;
}
