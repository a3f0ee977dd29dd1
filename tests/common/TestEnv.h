#pragma once
// The Env of the tests: the system, with the faults, clock, waits, free space, cores and
// file library a test sets on it. Set it up before the run; while the run goes on it may be
// called from helper threads (flushes), which it allows for.
#include "support/Env.h"

#include <cerrno>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace k5test {

// A local time, for TestEnv::protocolTime.
inline std::tm LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

class TestEnv : public k5::SystemEnv {
public:
    struct Faults {
        int64_t crashAfterEntry = 0; // SIGKILL right after the k-th finished protocol entry
        int64_t crashAtCall = 0;     // SIGKILL just before the k-th change point
        int64_t failAtCall = 0;      // the k-th change point fails with failError
        std::string failOnly;        // with a name: only change points of that name count for failAtCall
        int failError = ENOSPC;
        bool sticky = false;         // every later change point fails too (a disk that stays full)
        // The loseWriteAt-th write into a database file whose name ends with loseWriteName
        // reports success and writes nothing (a disk that loses a write).
        std::string loseWriteName;
        int64_t loseWriteAt = 0;
        bool noHardLinks = false; // Link answers EPERM
        bool noExchange = false;  // Exchange answers EINVAL
        // Appended: one line per change point ("fs N what"), entry ("entry N") and counted
        // database write ("write N", "write N lost").
        std::string logPath;
    };
    Faults faults;
    // When set: the time every protocol stamp shows.
    std::optional<std::tm> protocolTime;
    // When set: the fixed waits (else a second each, as on the system).
    std::function<void(k5::Wait, k5::UserInteraction&)> pause;
    // When set: the free-space query.
    std::function<k5::SysResult(const std::string& folder, k5::DiskSpace& out)> diskFreeSpace;
    unsigned cores = 0; // 0: those of the machine
    bool filesLibReachable = true;

    ~TestEnv() override;

    // New faults, counted from the next call on.
    void Reset(const Faults& injected);
    void Reset() { Reset(Faults()); }
    // The change points passed so far, by name, in order.
    std::vector<std::string> Points() const;
    // The writes counted so far into files whose writes may be lost.
    int64_t LossyWrites() const;

    k5::SysResult Link(const std::string& from, const std::string& to) override;
    k5::SysResult Exchange(const std::string& a, const std::string& b) override;
    k5::SysResult ChangePoint(const char* what) override;
    bool WatchesDatabaseWrites() override { return true; }
    bool LosesWritesTo(const std::string& path) override;
    bool LoseThisWrite() override;
    void EntryFinished(int64_t entryNumber) override;
    std::tm ProtocolTime() override;
    void Pause(k5::Wait which, k5::UserInteraction& ui) override;
    k5::SysResult DiskFreeSpace(const std::string& folder, k5::DiskSpace& out) override;
    unsigned UsableCores() override;
    bool FilesLibReachable() override { return filesLibReachable; }

private:
    void Note(const std::string& line);

    mutable std::mutex mMutex;
    std::vector<std::string> mPoints;
    int64_t mCalls = 0, mMatching = 0, mLossyWrites = 0;
    int mLogFd = -1;
};

} // namespace k5test
