#include "common/TestEnv.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace k5test {

namespace {

[[noreturn]] void Kill() {
    ::kill(::getpid(), SIGKILL);
    std::abort(); // not reached
}

} // namespace

TestEnv::~TestEnv() {
    if (mLogFd >= 0) ::close(mLogFd);
}

void TestEnv::Reset(const Faults& injected) {
    const std::lock_guard<std::mutex> lock(mMutex);
    faults = injected;
    mPoints.clear();
    mCalls = mMatching = mLossyWrites = 0;
}

std::vector<std::string> TestEnv::Points() const {
    const std::lock_guard<std::mutex> lock(mMutex);
    return mPoints;
}

int64_t TestEnv::LossyWrites() const {
    const std::lock_guard<std::mutex> lock(mMutex);
    return mLossyWrites;
}

// Called with mMutex held.
void TestEnv::Note(const std::string& line) {
    if (faults.logPath.empty()) return;
    if (mLogFd < 0) mLogFd = ::open(faults.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::string text = line + "\n";
    // The note is for diagnosis and sweeps only; a short write loses nothing that matters.
    if (mLogFd >= 0) (void)!::write(mLogFd, text.data(), text.size());
}

k5::SysResult TestEnv::Link(const std::string& from, const std::string& to) {
    if (faults.noHardLinks) return {EPERM};
    return SystemEnv::Link(from, to);
}

k5::SysResult TestEnv::Exchange(const std::string& a, const std::string& b) {
    if (faults.noExchange) return {EINVAL};
    return SystemEnv::Exchange(a, b);
}

k5::SysResult TestEnv::ChangePoint(const char* what) {
    const std::lock_guard<std::mutex> lock(mMutex);
    const int64_t n = ++mCalls;
    mPoints.push_back(what);
    Note("fs " + std::to_string(n) + " " + what);
    if (n == faults.crashAtCall) Kill();
    if (faults.failAtCall <= 0) return {};
    int64_t k = n;
    if (!faults.failOnly.empty()) {
        if (faults.failOnly != what) return {};
        k = ++mMatching;
    }
    if (k == faults.failAtCall || (faults.sticky && k > faults.failAtCall)) return {faults.failError};
    return {};
}

bool TestEnv::LosesWritesTo(const std::string& path) {
    const std::string& name = faults.loseWriteName;
    return faults.loseWriteAt > 0 && path.size() >= name.size() &&
           path.compare(path.size() - name.size(), name.size(), name) == 0;
}

bool TestEnv::LoseThisWrite() {
    const std::lock_guard<std::mutex> lock(mMutex);
    const int64_t n = ++mLossyWrites;
    Note("write " + std::to_string(n) + (n == faults.loseWriteAt ? " lost" : ""));
    return n == faults.loseWriteAt;
}

void TestEnv::EntryFinished(int64_t entryNumber) {
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        Note("entry " + std::to_string(entryNumber));
    }
    if (entryNumber == faults.crashAfterEntry) Kill();
}

std::tm TestEnv::ProtocolTime() {
    return protocolTime ? *protocolTime : SystemEnv::ProtocolTime();
}

void TestEnv::Pause(k5::Wait which, k5::UserInteraction& ui) {
    if (pause) return pause(which, ui);
    SystemEnv::Pause(which, ui);
}

k5::SysResult TestEnv::DiskFreeSpace(const std::string& folder, k5::DiskSpace& out) {
    if (diskFreeSpace) return diskFreeSpace(folder, out);
    return SystemEnv::DiskFreeSpace(folder, out);
}

unsigned TestEnv::UsableCores() {
    return cores != 0 ? cores : SystemEnv::UsableCores();
}

} // namespace k5test
