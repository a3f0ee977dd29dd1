#include "maintenance/ParallelArchive.h"

#include "archive/Zip32.h"
#include "maintenance/Context.h"
#include "support/FileUtils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sched.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace k5 {

namespace {

std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The copy is what the user waits for: the archive gets what the copy leaves of the CPU
// and the disk. Once the run waits for the archive, it is all the run does and goes back to
// the run's own priority (where the system lets it; a failure only costs time).
void SetThreadPriority(pid_t tid, int nice, int ioLevel) {
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
    constexpr int kWhoProcess = 1, kClassBestEffort = 2, kClassShift = 13;
    (void)::syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(tid),
                    (kClassBestEffort << kClassShift) | ioLevel);
}
constexpr int kLowerNice = 5, kLowestIo = 7, kNormalIo = 4;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

ParallelArchive::ParallelArchive(Env& env, const std::string& file, const std::string& archive)
    : mFile(file), mArchive(archive), mWorkFile(archive + kWorkSuffix) {
    if (archive.find('/') == std::string::npos) return; // no protocol folder
    const std::string folder = FolderOf(archive);
    if (env.UsableCores() < 2) return;
    struct statvfs disk {};
    if (::stat(file.c_str(), &mBefore) != 0 || ::statvfs(folder.c_str(), &disk) != 0) return;
    const double available = double(disk.f_bavail) * double(disk.f_frsize);
    if (available < 3.0 * double(mBefore.st_size)) return;
    mRunNice = ::getpriority(PRIO_PROCESS, 0);
    mWorker = std::thread([this] {
        const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
        SetThreadPriority(tid, mRunNice + kLowerNice, kLowestIo);
        mTid = tid;
        mCode = ZipOneFile(mFile, NameOf(mFile), mWorkFile, mCancel, mThousandths);
        mDone = true;
    });
}

ParallelArchive::~ParallelArchive() {
    Discard();
}

void ParallelArchive::Discard() {
    if (mWorker.joinable()) {
        mCancel = true;
        mWorker.join();
    }
    if (!mAdopted) ::unlink(mWorkFile.c_str());
}

bool ParallelArchive::Check() const {
    struct stat now {};
    return mCode == 0 && ::stat(mFile.c_str(), &now) == 0 && SameFile(mBefore, now) &&
           ZipHoldsOneFile(mWorkFile, NameOf(mFile), static_cast<uint64_t>(now.st_size));
}

bool ParallelArchive::Adopt(MaintenanceContext& ctx) {
    if (!mWorker.joinable()) return false;
    const std::string name = NameOf(mArchive);
    for (pid_t tid = 0; !mDone && (tid = mTid.load()) == 0;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!mDone) SetThreadPriority(mTid, mRunNice, kNormalIo);
    while (!mDone) {
        ctx.ui.Progress(name, mThousandths.load(), 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    mWorker.join();
    bool adopted = false;
    InBackground(ctx, [&] {
        if (!Check()) return;
        if (!ctx.env.ChangePoint("zip-adopt").Ok() || !ctx.env.Rename(mWorkFile, mArchive).Ok()) return;
        adopted = true;
        // The archive is complete once renamed; a failed flush leaves no archive behind either.
        if (!SyncFileAndFolder(ctx.env, mArchive).Ok()) {
            ::unlink(mArchive.c_str());
            adopted = false;
        }
    });
    ctx.ui.Progress(name, 1000, 1000);
    mAdopted = adopted;
    if (!adopted) ::unlink(mWorkFile.c_str());
    return adopted;
}

} // namespace k5
