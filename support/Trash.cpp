// The freedesktop trash: a move through GIO, or a second name of the file in the home trash.
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"

#include <gio/gio.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace k5 {

namespace {

int32_t Code(const SysResult& result) {
    return result.error < 0 ? 1 : result.error;
}

// The trash wants the original place as an absolute, percent-encoded path; the folder is
// resolved, the name kept as it is.
SysResult TrashInfoText(const std::string& path, const std::string& base, std::string& text) {
    const size_t slash = path.find_last_of('/');
    char* folder = ::realpath(slash == std::string::npos ? "."
                              : slash == 0               ? "/"
                                                         : path.substr(0, slash).c_str(),
                              nullptr);
    if (folder == nullptr) return SysResult::Errno();
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
    text = "[Trash Info]\nPath=" + encoded + "\nDeletionDate=" + date + "\n";
    return {};
}

} // namespace

int32_t FileToRecycleBin(Env& env, const std::string& path) {
    try {
        struct stat st {};
        if (path.empty()) return ENOENT;
        if (::lstat(path.c_str(), &st) != 0) return Code(SysResult::Errno());
        if (const SysResult injected = env.ChangePoint("trash"); !injected.Ok()) return Code(injected);
        return Code(env.MoveToTrash(path));
    }
    K5_TRAP("miVedovodeduzOR", "FileToRecycleBin")
}

int32_t LinkIntoTrash(Env& env, const std::string& path) {
    try {
        if (const SysResult injected = env.ChangePoint("trash"); !injected.Ok()) return Code(injected);
        struct stat st {};
        if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ENOENT;
        const std::string trash = JoinPath(g_get_user_data_dir(), "Trash");
        const std::string files = JoinPath(trash, "files"), info = JoinPath(trash, "info");
        for (const std::string& dir : {files, info})
            if (g_mkdir_with_parents(dir.c_str(), 0700) != 0) return Code(SysResult::Errno());
        struct stat tst {};
        if (::stat(files.c_str(), &tst) != 0) return Code(SysResult::Errno());
        if (tst.st_dev != st.st_dev) return EXDEV;

        const size_t slash = path.find_last_of('/');
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string text;
        if (const SysResult made = TrashInfoText(path, base, text); !made.Ok()) return Code(made);

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
                return Code(SysResult::Errno());
            }
            SysResult written = WriteAll(fd, text.data(), text.size());
            if (written.Ok()) written = SysResult::Of(::fsync(fd));
            ::close(fd);
            // A failed write of the info file is told as an input/output error.
            SysResult linked = written.Ok() ? env.Link(path, JoinPath(files, name)) : SysResult{EIO};
            if (linked.Ok()) {
                (void)FlushPath(env, info, true);
                (void)FlushPath(env, files, true);
                return 0;
            }
            ::unlink(infoPath.c_str());
            if (linked.error != EEXIST) return Code(linked);
        }
        return EEXIST;
    }
    K5_TRAP("miVedovodeduzOR", "LinkIntoTrash")
}

} // namespace k5
