#include "maintenance/RunLocks.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace k5 {

RunLocks::RunLocks(const std::string& folder) {
    // The lock sits on the folder itself: it needs no file of its own and no right to write,
    // and the system drops it with the process, however the run ends.
    mFolderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mFolderFd < 0 || ::flock(mFolderFd, LOCK_EX | LOCK_NB) == 0) return;
    // A folder that cannot be locked at all (no right to read it, a file system without such
    // locks) leaves the engine's own locks to refuse a second run.
    mFolderInUse = errno == EWOULDBLOCK;
    ::close(mFolderFd);
    mFolderFd = -1;
}

RunLocks::~RunLocks() {
    mMainFile.reset();
    if (mFolderFd >= 0) ::close(mFolderFd);
}

void RunLocks::HoldMainFile(db::DBEngine& engine, const std::string& path) {
    mMainFile = engine.HoldFile(path);
}

} // namespace k5
