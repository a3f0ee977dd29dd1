// Moving and replacing files so that a name never stands empty or half written.
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace k5 {

namespace {

// Copies source into a hidden file beside destination, flushes it and puts it in place
// in one rename, so the destination is never seen half written.
SysResult CopyAcross(const std::string& source, const std::string& destination) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return SysResult::Errno();
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        const SysResult failed = SysResult::Errno();
        ::close(in);
        return failed;
    }
    std::string temp = JoinPath(FolderOf(destination), ".k5move-XXXXXX");
    const int out = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        const SysResult failed = SysResult::Errno();
        ::close(in);
        return failed;
    }
    SysResult result;
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = SysResult::Errno();
            break;
        }
        if (n == 0) break;
        if (result = WriteAll(out, buf, static_cast<size_t>(n)); !result.Ok()) break;
    }
    if (result.Ok()) result = SysResult::Of(::fchmod(out, st.st_mode & 07777));
    if (result.Ok()) result = SysResult::Of(::fsync(out));
    if (::close(out) != 0 && result.Ok()) result = SysResult::Errno();
    ::close(in);
    if (result.Ok()) result = SysResult::Of(::rename(temp.c_str(), destination.c_str()));
    if (!result.Ok()) ::unlink(temp.c_str());
    return result;
}

void RaiseIfFailed(const SysResult& result) {
    if (!result.Ok()) RaiseApiError(result.error, "");
}

} // namespace

void MoveFile(Env& env, const std::string& source, const std::string& destination) {
    try {
        // rename(2) replaces an existing destination in one step, so it is not deleted
        // beforehand: a failed move leaves it as it was.
        RaiseIfFailed(env.ChangePoint("rename"));
        // The file's data is flushed through a descriptor opened before the move, for reading
        // or else for writing: a file its owner may not read still moves, and a done move is
        // never reported as failed. A file that opens neither way holds no data of ours.
        int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) fd = ::open(source.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct Closer {
            int fd;
            ~Closer() {
                if (fd >= 0) ::close(fd);
            }
        } closer{fd};
        if (const SysResult moved = env.Rename(source, destination); !moved.Ok()) {
            if (moved.error != EXDEV) RaiseApiError(moved.error, "");
            // The copy is flushed before it takes the destination's name.
            RaiseIfFailed(CopyAcross(source, destination));
            RaiseIfFailed(env.Unlink(source));
            (void)FlushPath(env, FolderOf(source), true);
        } else {
            if (FolderOf(source) != FolderOf(destination)) (void)FlushPath(env, FolderOf(source), true);
            if (fd >= 0) RaiseIfFailed(FlushOpenFile(env, fd));
        }
        RaiseIfFailed(FlushPath(env, FolderOf(destination), true));
    }
    K5_TRAP("mK5FilesOld", "MoveFile")
}

int32_t LinkFile(Env& env, const std::string& source, const std::string& destination) {
    try {
        SysResult result = env.ChangePoint("link");
        if (result.Ok()) result = env.Link(source, destination);
        if (result.Ok()) result = FlushPath(env, FolderOf(destination), true);
        return result.error < 0 ? 1 : result.error;
    }
    K5_TRAP("miVedovodeduzOR", "LinkFile")
}

void CopyOwnerAndMode(const std::string& model, const std::string& path) {
    try {
        struct stat m {
        }, p{};
        if (::stat(model.c_str(), &m) != 0 || ::stat(path.c_str(), &p) != 0) return;
        // Only root may give a file away; an ordinary user still keeps the group when it is
        // one of theirs. The mode comes last: a change of owner clears the set-id bits.
        if ((p.st_uid != m.st_uid || p.st_gid != m.st_gid) && ::chown(path.c_str(), m.st_uid, m.st_gid) != 0)
            (void)::chown(path.c_str(), static_cast<uid_t>(-1), m.st_gid);
        if ((p.st_mode & 07777) != (m.st_mode & 07777)) (void)::chmod(path.c_str(), m.st_mode & 07777);
    }
    K5_TRAP("mK5FilesOld", "CopyOwnerAndMode")
}

void ReplaceKeeping(Env& env, const std::string& replacement, const std::string& path, const std::string& keepAs) {
    try {
        CopyOwnerAndMode(path, replacement);
        if (LinkFile(env, path, keepAs) == 0) return MoveFile(env, replacement, path);
        // Without hard links: the replacement waits under the free name, then the two names
        // swap in one step. A crash in between leaves the old file in its place.
        MoveFile(env, replacement, keepAs);
        SysResult exchanged = env.ChangePoint("exchange");
        if (exchanged.Ok()) exchanged = env.Exchange(keepAs, path);
        if (exchanged.Ok()) return RaiseIfFailed(FlushPath(env, FolderOf(path), true));
        MoveFile(env, keepAs, replacement);
        const int e = exchanged.error;
        if (e != EINVAL && e != ENOSYS && e != ENOTSUP) RaiseApiError(e, "");
        // Neither: a flushed copy of the old file under the free name, then one rename.
        RaiseIfFailed(env.ChangePoint("copy"));
        RaiseIfFailed(CopyAcross(path, keepAs));
        MoveFile(env, replacement, path);
    }
    K5_TRAP("mK5FilesOld", "ReplaceKeeping")
}

} // namespace k5
