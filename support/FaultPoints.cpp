#include "support/FaultPoints.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace k5 {

namespace {

struct Settings {
    bool active = false;
    int64_t crashAfterEntry = 0;
    int64_t crashAtFsCall = 0;
    int64_t failAtFsCall = 0;
    bool sticky = false;
    bool shortPauses = false;
    bool noHardLinks = false;
    bool noExchange = false;
    int failErrno = ENOSPC;
    std::string loseWriteName;
    int64_t loseWriteAt = 0;
    std::atomic<int64_t> lossyWrites{0};
    int logFd = -1;
    // Flushes may run on a helper thread while the caller waits.
    std::atomic<int64_t> fsCalls{0};
};

int64_t Number(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return 0;
    return std::strtoll(v, nullptr, 10);
}

Settings& Get() {
    static Settings s;
    static const bool ready = [] {
        Settings& r = s;
        r.crashAfterEntry = Number("K5_TEST_CRASH_AFTER_ENTRY");
        r.crashAtFsCall = Number("K5_TEST_CRASH_AT_FS_CALL");
        r.failAtFsCall = Number("K5_TEST_FAIL_AT_FS_CALL");
        r.sticky = Number("K5_TEST_FAIL_STICKY") != 0;
        r.shortPauses = Number("K5_TEST_SHORT_PAUSES") != 0;
        r.noHardLinks = Number("K5_TEST_NO_HARD_LINKS") != 0;
        r.noExchange = Number("K5_TEST_NO_EXCHANGE") != 0;
        if (const int64_t e = Number("K5_TEST_FAIL_ERRNO"); e > 0) r.failErrno = static_cast<int>(e);
        if (const char* lose = std::getenv("K5_TEST_LOSE_WRITE"); lose != nullptr) {
            const std::string text = lose;
            if (const size_t colon = text.rfind(':'); colon != std::string::npos && colon > 0) {
                r.loseWriteName = text.substr(0, colon);
                r.loseWriteAt = std::strtoll(text.c_str() + colon + 1, nullptr, 10);
            }
        }
        if (const char* path = std::getenv("K5_TEST_FAULT_LOG"); path != nullptr && *path != '\0')
            r.logFd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        r.active = r.crashAfterEntry > 0 || r.crashAtFsCall > 0 || r.failAtFsCall > 0 || r.loseWriteAt > 0 ||
                   r.logFd >= 0;
        return true;
    }();
    (void)ready;
    return s;
}

void Note(const Settings& s, const std::string& line) {
    if (s.logFd < 0) return;
    const std::string text = line + "\n";
    // The note is for diagnosis only; a short write loses nothing that matters.
    (void)!::write(s.logFd, text.data(), text.size());
}

[[noreturn]] void Kill() {
    ::kill(::getpid(), SIGKILL);
    std::abort(); // not reached
}

} // namespace

bool FaultPointsActive() {
    return Get().active;
}

bool ShortPauses() {
    return Get().shortPauses;
}

int FsChangePoint(const char* what) {
    Settings& s = Get();
    if (!s.active) return 0;
    const int64_t n = ++s.fsCalls;
    Note(s, "fs " + std::to_string(n) + " " + what);
    if (n == s.crashAtFsCall) Kill();
    if (s.failAtFsCall > 0 && (n == s.failAtFsCall || (s.sticky && n > s.failAtFsCall))) return s.failErrno;
    return 0;
}

bool LostWriteTarget(const char* path) {
    const Settings& s = Get();
    if (s.loseWriteAt <= 0 || path == nullptr) return false;
    const std::string name = path;
    return name.size() >= s.loseWriteName.size() &&
           name.compare(name.size() - s.loseWriteName.size(), s.loseWriteName.size(), s.loseWriteName) == 0;
}

bool LostWritePoint() {
    Settings& s = Get();
    const int64_t n = ++s.lossyWrites;
    Note(s, "write " + std::to_string(n) + (n == s.loseWriteAt ? " lost" : ""));
    return n == s.loseWriteAt;
}

int UnsupportedCall(const char* what) {
    const Settings& s = Get();
    if (s.noHardLinks && std::strcmp(what, "link") == 0) return EPERM;
    if (s.noExchange && std::strcmp(what, "exchange") == 0) return EINVAL;
    return 0;
}

void ProtocolEntryPoint(int64_t entryNumber) {
    Settings& s = Get();
    if (!s.active) return;
    Note(s, "entry " + std::to_string(entryNumber));
    if (entryNumber == s.crashAfterEntry) Kill();
}

} // namespace k5
