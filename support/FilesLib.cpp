#include "support/FilesLib.h"

#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"

#include <QFileInfo>
#include <QStorageInfo>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace k5 {

namespace {

// Errors of the library object carry its own name as their source.
constexpr const char* kLibrarySource = "K5_Lib.FilesLib";

[[noreturn]] void RaiseLibraryError(int code, const std::string& text) {
    throw K5Error(code != 0 ? code : 1001, kLibrarySource, text);
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool FilesLib::FileExists(const std::string& fileName) {
    return IsRegularFile(fileName);
}

void FilesLib::SplitFileName(const std::string& fileName, std::string& out1, std::string& out2,
                             std::string& out3, std::string& out4) {
    const size_t slash = fileName.find_last_of('/');
    const std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    out1 = slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
    // A leading dot belongs to the name (".profile" has no extension).
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) {
        out2 = name;
        out3.clear();
    } else {
        out2 = name.substr(0, dot);
        out3 = name.substr(dot + 1);
    }
    // No drive letters here.
    out4.clear();
}

std::string FilesLib::DiskName(const std::string& fileName) {
    if (fileName.empty()) return std::string();
    // A file that is not there lies, once made, on the disk of its folder.
    QString path = QString::fromStdString(fileName);
    if (!QFileInfo::exists(path)) path = QFileInfo(path).absolutePath();
    QStorageInfo info(path);
    if (!info.isValid()) return std::string();
    return info.rootPath().toStdString();
}

namespace {
// Case-insensitive mask match. A mask ending in a three-letter extension also takes names
// whose extension (after the last dot) only begins with it ("*_*.mdb" lists "1_a.mdb-лишний-файл-..."), as
// the short names of the accounting program's home platform do; the callers test the extension themselves.
bool MatchesMask(const std::string& mask, const std::string& name) {
    if (::fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD | FNM_PERIOD) == 0) return true;
    const size_t maskDot = mask.rfind('.');
    const size_t nameDot = name.rfind('.');
    if (maskDot == std::string::npos || nameDot == std::string::npos) return false;
    const std::string maskExt = mask.substr(maskDot + 1);
    if (maskExt.size() != 3 || maskExt.find_first_of("*?[") != std::string::npos) return false;
    if (::fnmatch(mask.substr(0, maskDot).c_str(), name.substr(0, nameDot).c_str(),
                  FNM_CASEFOLD | FNM_PERIOD) != 0)
        return false;
    const std::string ext = name.substr(nameDot + 1);
    return ext.size() > 3 && ::strncasecmp(ext.c_str(), maskExt.c_str(), 3) == 0;
}
} // namespace

std::vector<std::string> FilesLib::ListFiles(const std::string& folder, const std::string& mask, bool flag1,
                                             bool flag2) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        // A folder that is not there simply has no files.
        if (errno == ENOENT) return names;
        RaiseLibraryError(errno, GetApiErrorText(errno));
    }
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (!MatchesMask(mask, name)) continue;
        const std::string full = JoinPath(folder, name);
        if (IsRegularFile(full)) names.push_back(full);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) RaiseLibraryError(readError, GetApiErrorText(readError));
    std::sort(names.begin(), names.end());
    return names;
}

bool FilesLib::FolderExists(const std::string& folder) {
    return IsDirectory(folder);
}

bool FilesLib::CreateFolder(const std::string& folder, std::string& reason) {
    reason.clear();
    if (folder.empty()) {
        reason = GetApiErrorText(ENOENT);
        return false;
    }
    // Every missing level is made, as far down as the folder itself.
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        path = folder.substr(0, pos);
        if (path.empty() || IsDirectory(path)) continue;
        if (::mkdir(path.c_str(), 0777) != 0 && !(errno == EEXIST && IsDirectory(path))) {
            reason = GetApiErrorText(errno);
            return false;
        }
    }
    return true;
}

void FilesLib::RenameFile(const std::string& oldName, const std::string& newName) {
    if (const SysResult injected = mEnv.ChangePoint("rename"); !injected.Ok())
        RaiseLibraryError(injected.error, GetApiErrorText(injected.error));
    // An existing file of the new name is never overwritten.
    if (::renameat2(AT_FDCWD, oldName.c_str(), AT_FDCWD, newName.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno == EINVAL || errno == ENOSYS) {
        // File systems without the no-replace flag.
        struct stat st {};
        if (::lstat(newName.c_str(), &st) == 0) RaiseLibraryError(EEXIST, GetApiErrorText(EEXIST));
        if (::rename(oldName.c_str(), newName.c_str()) == 0) return;
    }
    RaiseLibraryError(errno, GetApiErrorText(errno));
}

double FilesLib::FileSize(const std::string& fileName) {
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0) RaiseLibraryError(errno, GetApiErrorText(errno));
    if (S_ISDIR(st.st_mode)) RaiseLibraryError(EISDIR, GetApiErrorText(EISDIR));
    return static_cast<double>(st.st_size);
}

std::shared_ptr<FilesLib> CreateFilesLib(Env& env) {
    if (!env.FilesLibReachable()) return nullptr;
    return std::make_shared<FilesLib>(env);
}

} // namespace k5
