#include "support/FileUtils.h"

#include "support/Common.h"
#include "support/Error.h"
#include "support/FaultPoints.h"

#include <gio/gio.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace k5 {

namespace {

constexpr int32_t kUnknownApiError = 1001;
constexpr char kWriteTestLine[] = "test\r\n";


bool SyncDescriptor(int fd) {
    if (const int injected = FsChangePoint("fsync")) {
        errno = injected;
        return false;
    }
    return ::fsync(fd) == 0;
}

bool SyncPath(const std::string& path, int flags) {
    if (const int injected = FsChangePoint("fsync")) {
        errno = injected;
        return false;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) return false;
    int rc = ::fsync(fd);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return rc == 0;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies source into a hidden file beside destination, flushes it and puts it in place
// in one rename, so the destination is never seen half written. errno tells a failure.
bool CopyAcross(const std::string& source, const std::string& destination) {
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        int saved = errno;
        ::close(in);
        errno = saved;
        return false;
    }
    std::string temp = JoinPath(FolderOf(destination), ".k5move-XXXXXX");
    int out = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        int saved = errno;
        ::close(in);
        errno = saved;
        return false;
    }
    bool ok = true;
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!WriteAll(out, buf, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    if (ok && ::fchmod(out, st.st_mode & 07777) != 0) ok = false;
    if (ok && ::fsync(out) != 0) ok = false;
    int saved = errno;
    if (::close(out) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    ::close(in);
    if (ok && ::rename(temp.c_str(), destination.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = saved;
    }
    return ok;
}

} // namespace

bool IsFileExists(const std::string& path) {
    try {
        if (path.empty()) return false;
        // Non-blocking so that a pipe does not hang the test.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) return false;
        struct stat st {};
        bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        ::close(fd);
        return regular;
    }
    K5_TRAP("mK5FilesOld", "IsFileExists")
}

bool IsFolderExists(const std::string& path) {
    try {
        if (path.empty()) return false;
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    K5_TRAP("mK5FilesOld", "IsFolderExists")
}

void MoveFile(const std::string& source, const std::string& destination) {
    try {
        // rename(2) replaces an existing destination in one step, so it is not deleted
        // beforehand: a failed move leaves it as it was.
        if (const int injected = FsChangePoint("rename")) RaiseApiError(injected, "");
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
        if (::rename(source.c_str(), destination.c_str()) != 0) {
            if (errno != EXDEV) RaiseApiError(errno, "");
            // The copy is flushed before it takes the destination's name.
            if (!CopyAcross(source, destination)) RaiseApiError(errno, "");
            if (::unlink(source.c_str()) != 0) RaiseApiError(errno, "");
            SyncPath(FolderOf(source), O_DIRECTORY);
        } else {
            if (FolderOf(source) != FolderOf(destination)) SyncPath(FolderOf(source), O_DIRECTORY);
            if (fd >= 0 && !SyncDescriptor(fd)) RaiseApiError(errno, "");
        }
        if (!SyncPath(FolderOf(destination), O_DIRECTORY)) RaiseApiError(errno, "");
    }
    K5_TRAP("mK5FilesOld", "MoveFile")
}

void ClearReadOnlyAttributeFromFile(const std::string& path) {
    try {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0) {
            // Its result is not looked at: the delete that follows reports the failure.
            (void)::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
        }
    }
    K5_TRAP("mK5FilesOld", "ClearReadOnlyAttributeFromFile")
}

bool DeleteFile(const std::string& path, bool silent) {
    try {
        ClearReadOnlyAttributeFromFile(path);
        if (const int injected = FsChangePoint("unlink"))
            errno = injected;
        else if (::unlink(path.c_str()) == 0)
            return true;
        if (!silent) RaiseApiError(errno, "Ошибка при удалении файла \"" + path + "\":\r\n");
        return false;
    }
    K5_TRAP("mK5FilesOld", "DeleteFile")
}

bool CheckForWriteableFolder(const std::string& folder, std::string& errText) {
    try {
        std::string testPath = JoinPath(folder, kWriteTestName);
        const int injected = FsChangePoint("write-test");
        // Never through a link and never over a file of someone else's: the name must be new.
        // A test file that a killed run of ours left goes first; any other holder of the
        // name makes the test take a fresh name beside it.
        auto create = [&] {
            return ::open(testPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        };
        int fd = injected != 0 ? -1 : create();
        int error = injected != 0 ? injected : fd < 0 ? errno : 0;
        if (error == EEXIST && RemoveStaleWriteTest(testPath)) error = (fd = create()) < 0 ? errno : 0;
        if (error == EEXIST) {
            testPath += ".XXXXXX";
            error = (fd = ::mkostemp(testPath.data(), O_CLOEXEC)) < 0 ? errno : 0;
        }
        errno = error;
        bool ok = fd >= 0;
        if (ok) {
            ok = WriteAll(fd, kWriteTestLine, sizeof kWriteTestLine - 1);
            int saved = errno;
            if (::close(fd) != 0 && ok) {
                ok = false;
                saved = errno;
            }
            errno = saved;
        }
        if (!ok) {
            errText = GetApiErrorText(errno);
            // Only a file this test made is removed.
            if (fd >= 0) PDeleteFile(testPath);
            return false;
        }
        // A test file that cannot be removed does not make the folder unwriteable.
        PDeleteFile(testPath);
        errText.clear();
        return true;
    }
    K5_TRAP("miVedovodeduzOR", "CheckForWriteableFolder")
}

bool RemoveStaleWriteTest(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1 || st.st_size > static_cast<off_t>(sizeof kWriteTestLine - 1))
        return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    char head[sizeof kWriteTestLine] = {};
    const ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    if (n < 0 || std::memcmp(head, kWriteTestLine, static_cast<size_t>(n)) != 0) return false;
    return ::unlink(path.c_str()) == 0;
}

std::string PDeleteFile(const std::string& path) {
    try {
        if (const int injected = FsChangePoint("unlink")) return GetApiErrorText(injected);
        if (::unlink(path.c_str()) == 0) return std::string();
        return GetApiErrorText(errno);
    }
    K5_TRAP("miVedovodeduzOR", "PDeleteFile")
}

int32_t FileToRecycleBin(const std::string& path) {
    try {
        struct stat st {};
        if (path.empty()) return ENOENT;
        if (::lstat(path.c_str(), &st) != 0) return errno != 0 ? errno : 1;
        if (const int injected = FsChangePoint("trash")) return injected;
        GFile* file = g_file_new_for_path(path.c_str());
        GError* error = nullptr;
        gboolean done = g_file_trash(file, nullptr, &error);
        g_object_unref(file);
        if (done) return 0;
        int32_t result = 1;
        if (error != nullptr) {
            if (error->domain == G_IO_ERROR) {
                switch (error->code) {
                case G_IO_ERROR_NOT_FOUND:
                    result = ENOENT;
                    break;
                case G_IO_ERROR_PERMISSION_DENIED:
                    result = EACCES;
                    break;
                case G_IO_ERROR_NOT_SUPPORTED:
                    result = ENOTSUP;
                    break;
                case G_IO_ERROR_NO_SPACE:
                    result = ENOSPC;
                    break;
                case G_IO_ERROR_READ_ONLY:
                    result = EROFS;
                    break;
                default:
                    break;
                }
            }
            g_error_free(error);
        }
        return result;
    }
    K5_TRAP("miVedovodeduzOR", "FileToRecycleBin")
}

int32_t LinkFile(const std::string& source, const std::string& destination) {
    try {
        if (const int injected = FsChangePoint("link")) return injected;
        if (const int unsupported = UnsupportedCall("link")) return unsupported;
        if (::link(source.c_str(), destination.c_str()) != 0) return errno != 0 ? errno : 1;
        if (!SyncPath(FolderOf(destination), O_DIRECTORY)) return errno != 0 ? errno : 1;
        return 0;
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

void ReplaceKeeping(const std::string& replacement, const std::string& path, const std::string& keepAs) {
    try {
        CopyOwnerAndMode(path, replacement);
        if (LinkFile(path, keepAs) == 0) return MoveFile(replacement, path);
        // Without hard links: the replacement waits under the free name, then the two names
        // swap in one step. A crash in between leaves the old file in its place.
        MoveFile(replacement, keepAs);
        int exchanged = FsChangePoint("exchange");
        if (exchanged == 0) exchanged = UnsupportedCall("exchange");
        if (exchanged == 0 &&
            ::renameat2(AT_FDCWD, keepAs.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0)
            exchanged = errno;
        if (exchanged == 0) {
            if (!SyncPath(FolderOf(path), O_DIRECTORY)) RaiseApiError(errno, "");
            return;
        }
        MoveFile(keepAs, replacement);
        if (exchanged != EINVAL && exchanged != ENOSYS && exchanged != ENOTSUP) RaiseApiError(exchanged, "");
        // Neither: a flushed copy of the old file under the free name, then one rename.
        if (const int injected = FsChangePoint("copy")) RaiseApiError(injected, "");
        if (!CopyAcross(path, keepAs)) RaiseApiError(errno, "");
        MoveFile(replacement, path);
    }
    K5_TRAP("mK5FilesOld", "ReplaceKeeping")
}

int32_t LinkIntoTrash(const std::string& path) {
    try {
        if (const int injected = FsChangePoint("trash")) return injected;
        struct stat st {};
        if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ENOENT;
        const std::string trash = JoinPath(g_get_user_data_dir(), "Trash");
        const std::string files = JoinPath(trash, "files"), info = JoinPath(trash, "info");
        for (const std::string& dir : {files, info})
            if (g_mkdir_with_parents(dir.c_str(), 0700) != 0) return errno != 0 ? errno : 1;
        struct stat tst {};
        if (::stat(files.c_str(), &tst) != 0) return errno;
        if (tst.st_dev != st.st_dev) return EXDEV;

        // The trash wants the original place as an absolute, percent-encoded path; the folder
        // is resolved, the name kept as it is.
        const size_t slash = path.find_last_of('/');
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        char* folder = ::realpath(slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : path.substr(0, slash).c_str(),
                                  nullptr);
        if (folder == nullptr) return errno != 0 ? errno : 1;
        const std::string absolute = JoinPath(folder, base);
        ::free(folder);
        char* escaped = g_uri_escape_string(absolute.c_str(), "/", FALSE);
        const std::string encoded = escaped != nullptr ? escaped : absolute;
        g_free(escaped);
        char date[32];
        const time_t now = ::time(nullptr);
        struct tm local {};
        ::localtime_r(&now, &local);
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
        const std::string text = "[Trash Info]\nPath=" + encoded + "\nDeletionDate=" + date + "\n";

        const size_t dot = base.find_last_of('.');
        for (int n = 1; n < 1000; ++n) {
            std::string name = base;
            if (n > 1)
                name = dot == std::string::npos || dot == 0
                           ? base + "." + std::to_string(n)
                           : base.substr(0, dot) + "." + std::to_string(n) + base.substr(dot);
            // The info file reserves the name, as in the freedesktop trash.
            const std::string infoPath = JoinPath(info, name + ".trashinfo");
            const int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                return errno;
            }
            const bool written = WriteAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
            ::close(fd);
            const std::string target = JoinPath(files, name);
            const int unsupported = written ? UnsupportedCall("link") : 0;
            if (unsupported != 0) errno = unsupported;
            if (written && unsupported == 0 && ::link(path.c_str(), target.c_str()) == 0) {
                SyncPath(info, O_DIRECTORY);
                SyncPath(files, O_DIRECTORY);
                return 0;
            }
            const int saved = written ? errno : EIO;
            ::unlink(infoPath.c_str());
            if (saved != EEXIST) return saved;
        }
        return EEXIST;
    }
    K5_TRAP("miVedovodeduzOR", "LinkIntoTrash")
}

void AddLongPathPrefix(std::string& path) {
    if (path.empty()) return;
    if (path.compare(0, 2, "\\\\") == 0) {
        if (path.compare(0, 4, "\\\\?\\") != 0 && path.size() > 2) path = "\\\\?\\UNC\\" + path.substr(2);
        return;
    }
    if (path.size() > 3 && path.compare(1, 2, ":\\") == 0) path = "\\\\?\\" + path;
}

void RaiseApiError(int32_t code, const std::string& prefix) {
    if (code == 0) RaiseError(kUnknownApiError, prefix + "Unknown API error.");
    RaiseError(code, prefix + GetApiErrorText(code));
}

std::string GetApiErrorText(int32_t code) {
    // Only codes the C library has a name for get its text; for the rest it would make up
    // "Unknown error N".
    if (code == 0 || (code > 0 && ::strerrorname_np(code) != nullptr)) {
        char buf[256];
        const char* text = ::strerror_r(code, buf, sizeof buf);
        if (text != nullptr && *text != '\0') return text;
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<uint32_t>(code));
    return "Unknown API error " + std::to_string(code) + " (0x" + hex + ")";
}

bool SyncFileAndFolder(const std::string& path) {
    if (!SyncPath(path, 0)) return false;
    return SyncPath(FolderOf(path), O_DIRECTORY);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace k5
