#include "support/FileUtils.h"

#include "support/Common.h"
#include "support/Error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace k5 {

namespace {

constexpr int32_t kUnknownApiError = 1001;
constexpr char kWriteTestLine[] = "test\r\n";

} // namespace

SysResult FlushPath(Env& env, const std::string& path, bool folder) {
    if (const SysResult injected = env.ChangePoint("fsync"); !injected.Ok()) return injected;
    return env.Flush(path, folder);
}

SysResult FlushOpenFile(Env& env, int fd) {
    if (const SysResult injected = env.ChangePoint("fsync"); !injected.Ok()) return injected;
    return env.FlushOpen(fd);
}

SysResult WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return SysResult::Errno();
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return {};
}

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

bool DeleteFile(Env& env, const std::string& path, bool silent) {
    try {
        ClearReadOnlyAttributeFromFile(path);
        SysResult result = env.ChangePoint("unlink");
        if (result.Ok()) result = env.Unlink(path);
        if (result.Ok()) return true;
        if (!silent) RaiseApiError(result.error, "Ошибка при удалении файла \"" + path + "\":\r\n");
        return false;
    }
    K5_TRAP("mK5FilesOld", "DeleteFile")
}

bool CheckForWriteableFolder(Env& env, const std::string& folder, std::string& errText) {
    try {
        std::string testPath = JoinPath(folder, kWriteTestName);
        const SysResult injected = env.ChangePoint("write-test");
        // Never through a link and never over a file of someone else's: the name must be new.
        // A test file that a killed run of ours left goes first; any other holder of the
        // name makes the test take a fresh name beside it.
        int fd = -1;
        auto create = [&] {
            fd = ::open(testPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            return fd < 0 ? SysResult::Errno() : SysResult{};
        };
        SysResult result = injected.Ok() ? create() : injected;
        if (result.error == EEXIST && RemoveStaleWriteTest(testPath)) result = create();
        if (result.error == EEXIST) {
            testPath += ".XXXXXX";
            fd = ::mkostemp(testPath.data(), O_CLOEXEC);
            result = fd < 0 ? SysResult::Errno() : SysResult{};
        }
        if (fd >= 0) {
            result = WriteAll(fd, kWriteTestLine, sizeof kWriteTestLine - 1);
            if (::close(fd) != 0 && result.Ok()) result = SysResult::Errno();
        }
        if (!result.Ok()) {
            errText = GetApiErrorText(result.error);
            // Only a file this test made is removed.
            if (fd >= 0) PDeleteFile(env, testPath);
            return false;
        }
        // A test file that cannot be removed does not make the folder unwriteable.
        PDeleteFile(env, testPath);
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

std::string PDeleteFile(Env& env, const std::string& path) {
    try {
        SysResult result = env.ChangePoint("unlink");
        if (result.Ok()) result = env.Unlink(path);
        return result.Ok() ? std::string() : GetApiErrorText(result.error);
    }
    K5_TRAP("miVedovodeduzOR", "PDeleteFile")
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

SysResult SyncFileAndFolder(Env& env, const std::string& path) {
    if (const SysResult file = FlushPath(env, path, false); !file.Ok()) return file;
    const SysResult folder = FlushPath(env, FolderOf(path), true);
    return folder.error == EINVAL ? SysResult{} : folder;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace k5
