// Process-wide file locks of the engine's connections, and file holds taken through them.
#include "dbengine/EngineInternal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace k5::db::detail {

namespace {

struct LockEntry {
    int fd = -1;
    int shared = 0;
    bool exclusive = false;
    bool held = false; // by a FileHold: the descriptor is the hold's and outlives the connections
};

std::mutex gLockMutex;
std::map<std::string, LockEntry>& Locks() {
    static std::map<std::string, LockEntry> locks;
    return locks;
}

} // namespace

// ---- FileLock ----

FileLock::FileLock(const std::string& path, bool exclusive) : mExclusive(exclusive) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) Raise(3024, "Не удается найти файл '" + path + "'.");
    mKey = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    std::lock_guard<std::mutex> guard(gLockMutex);
    auto& locks = Locks();
    auto it = locks.find(mKey);
    if (it != locks.end()) {
        if (it->second.exclusive) Raise(3356, ExclusiveText(path));
        if (exclusive && it->second.shared > 0) Raise(3045, InUseText(path));
        if (exclusive)
            it->second.exclusive = true;
        else
            ++it->second.shared;
        return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Raise(3051, NoAccessText(path));
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        const bool othersShared = exclusive && ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        // No connection of ours uses this file, so closing here drops nobody's locks.
        ::close(fd);
        if (othersShared) Raise(3045, InUseText(path));
        Raise(3356, ExclusiveText(path));
    }
    LockEntry e;
    e.fd = fd;
    e.exclusive = exclusive;
    e.shared = exclusive ? 0 : 1;
    locks.emplace(mKey, e);
}

int FileLock::Fd() const {
    std::lock_guard<std::mutex> guard(gLockMutex);
    auto it = Locks().find(mKey);
    return it == Locks().end() ? -1 : it->second.fd;
}

FileLock::~FileLock() {
    std::lock_guard<std::mutex> guard(gLockMutex);
    auto& locks = Locks();
    auto it = locks.find(mKey);
    if (it == locks.end()) return;
    LockEntry& e = it->second;
    if (mExclusive)
        e.exclusive = false;
    else
        --e.shared;
    if (e.exclusive || e.shared > 0 || e.held) return;
    ::close(e.fd);
    locks.erase(it);
}

// ---- FileHold ----

namespace {

// SQLite's lock bytes (unix VFS): the pending byte, the reserved byte, then the shared range.
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kSharedFirst = kPendingByte + 2;
constexpr off_t kSharedSize = 510;

// A record lock of the open file itself (not of the process: closing another descriptor of
// the file keeps it). With F_OFD_GETLK the lock is only tried: the type becomes F_UNLCK
// when nobody holds a conflicting one.
bool RecordLock(int fd, int command, short& type, off_t start, off_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    const bool done = ::fcntl(fd, command, &fl) == 0;
    type = fl.l_type;
    return done;
}

class HeldFile : public FileHold {
public:
    HeldFile(std::string key, const struct stat& st) : mKey(std::move(key)), mStat(st) {}
    ~HeldFile() override {
        std::lock_guard<std::mutex> guard(gLockMutex);
        auto& locks = Locks();
        auto it = locks.find(mKey);
        if (it == locks.end()) return;
        it->second.held = false;
        if (it->second.exclusive || it->second.shared > 0) return;
        ::close(it->second.fd);
        locks.erase(it);
    }
    bool Unchanged(const std::string& path) const override {
        struct stat now {};
        return ::stat(PlainPath(path).c_str(), &now) == 0 && now.st_dev == mStat.st_dev &&
               now.st_ino == mStat.st_ino && now.st_size == mStat.st_size &&
               now.st_mtim.tv_sec == mStat.st_mtim.tv_sec && now.st_mtim.tv_nsec == mStat.st_mtim.tv_nsec;
    }

private:
    std::string mKey;
    struct stat mStat;
};

} // namespace

std::unique_ptr<FileHold> HoldFile(const std::string& path) {
    const std::string plain = PlainPath(path);
    std::lock_guard<std::mutex> guard(gLockMutex);
    const int fd = ::open(plain.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) Raise(3024, "Не удается найти файл '" + path + "'.");
        Raise(3051, NoAccessText(path));
    }
    struct stat st {};
    ::fstat(fd, &st);
    const std::string key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    auto& locks = Locks();
    // Closing our descriptor would drop the SQLite locks of a connection of ours on the file;
    // a hold is taken only while none is open.
    if (locks.count(key) != 0) Raise(3045, InUseText(path));
    auto refuse = [&](int32_t number, const std::string& text) {
        ::close(fd);
        Raise(number, text);
    };
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool othersShared = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        refuse(othersShared ? 3045 : 3356, othersShared ? InUseText(path) : ExclusiveText(path));
    }
    // No other SQLite program may hold any of its locks now, not even a reader in a
    // transaction. Then a reader's share is kept: others may read, but no commit gets
    // through until the hold ends. A file system without record locks has the flock alone.
    short probe = F_WRLCK;
    if (RecordLock(fd, F_OFD_GETLK, probe, kPendingByte, 2 + kSharedSize) && probe != F_UNLCK)
        refuse(3045, InUseText(path));
    short share = F_RDLCK;
    if (!RecordLock(fd, F_OFD_SETLK, share, kSharedFirst, kSharedSize) &&
        (errno == EAGAIN || errno == EACCES))
        refuse(3045, InUseText(path));
    LockEntry e;
    e.fd = fd;
    e.held = true;
    locks.emplace(key, e);
    return std::make_unique<HeldFile>(key, st);
}

} // namespace k5::db::detail
