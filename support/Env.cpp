#include "support/Env.h"

#include "support/UserInteraction.h"

#include <gio/gio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace k5 {

namespace {

// GIO's error for a trash move, as the errno value that tells the same.
int TrashError(GError* error) {
    if (error == nullptr || error->domain != G_IO_ERROR) return -1;
    switch (error->code) {
    case G_IO_ERROR_NOT_FOUND:
        return ENOENT;
    case G_IO_ERROR_PERMISSION_DENIED:
        return EACCES;
    case G_IO_ERROR_NOT_SUPPORTED:
        return ENOTSUP;
    case G_IO_ERROR_NO_SPACE:
        return ENOSPC;
    case G_IO_ERROR_READ_ONLY:
        return EROFS;
    default:
        return -1;
    }
}

} // namespace

SysResult SysResult::Errno() {
    return {errno != 0 ? errno : -1};
}

SysResult SysResult::Of(int rc) {
    return rc == 0 ? SysResult{} : Errno();
}

Env& Env::Default() {
    static SystemEnv system;
    return system;
}

SysResult SystemEnv::Rename(const std::string& from, const std::string& to) {
    return SysResult::Of(::rename(from.c_str(), to.c_str()));
}

SysResult SystemEnv::Link(const std::string& from, const std::string& to) {
    return SysResult::Of(::link(from.c_str(), to.c_str()));
}

SysResult SystemEnv::Unlink(const std::string& path) {
    return SysResult::Of(::unlink(path.c_str()));
}

SysResult SystemEnv::Exchange(const std::string& a, const std::string& b) {
    return SysResult::Of(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
}

SysResult SystemEnv::Flush(const std::string& path, bool folder) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) return SysResult::Errno();
    const SysResult result = FlushOpen(fd);
    ::close(fd);
    return result;
}

SysResult SystemEnv::FlushOpen(int fd) {
    return SysResult::Of(::fsync(fd));
}

SysResult SystemEnv::MoveToTrash(const std::string& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    GError* error = nullptr;
    const gboolean done = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (done) return {};
    const int code = TrashError(error);
    if (error != nullptr) g_error_free(error);
    return {code};
}

std::time_t SystemEnv::Now() {
    return std::time(nullptr);
}

std::tm SystemEnv::ProtocolTime() {
    const std::time_t now = Now();
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

void SystemEnv::Pause(Wait, UserInteraction& ui) {
    // Every fixed wait is one second; the window keeps repainting meanwhile.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until) {
        ui.YieldOnce();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SysResult SystemEnv::DiskFreeSpace(const std::string& folder, DiskSpace& out) {
    if (folder.empty()) return {ENOENT};
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0) return SysResult::Errno();
    const unsigned long long unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    out.freeBytesAvailable = static_cast<unsigned long long>(vfs.f_bavail) * unit;
    out.totalBytes = static_cast<unsigned long long>(vfs.f_blocks) * unit;
    out.totalFreeBytes = static_cast<unsigned long long>(vfs.f_bfree) * unit;
    return {};
}

unsigned SystemEnv::UsableCores() {
    unsigned cores = std::thread::hardware_concurrency();
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const unsigned allowed = static_cast<unsigned>(CPU_COUNT(&set));
        if (allowed > 0) cores = cores == 0 ? allowed : std::min(cores, allowed);
    }
    return cores;
}

} // namespace k5
