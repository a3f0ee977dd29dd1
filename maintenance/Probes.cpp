#include "maintenance/Probes.h"

#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"

#include <cerrno>
#include <cmath>

namespace k5 {

std::shared_ptr<FilesLib> KeptFilesLib(MaintenanceContext& ctx) {
    try {
        std::shared_ptr<FilesLib> lib = CreateFilesLib(ctx.env);
        if (!lib) RaiseError(429, "Компоненту ActiveX не удается создать объект");
        return lib;
    }
    K5_TRAP(kFrm, "FilesLib")
}

std::shared_ptr<FilesLib> privGetK5FilesLib(MaintenanceContext& ctx) {
    try {
        std::shared_ptr<FilesLib> lib = CreateFilesLib(ctx.env);
        if (lib) return lib;
        if (!ctx.state.mFilesLibErrorShown) {
            ctx.state.mFilesLibErrorShown = true;
            ctx.log.LogAdd(
                "Не удалось обратиться к библиотеке K5_Lib.dll. Возможные причины:\r\n"
                "K5_Lib.dll отсутствует или не зарегистрирована в реестре или не соответствует версия.",
                false, kColourDarkRed);
        }
        return nullptr;
    }
    K5_TRAP(kFrm, "privGetK5FilesLib")
}

double privFileSize(MaintenanceContext& ctx, const std::string& fileName) {
    try {
        if (!ctx.state.mFilesLib) return -1;
        return ctx.state.mFilesLib->FileSize(fileName);
    }
    K5_TRAP(kFrm, "privFileSize")
}

std::string privGetDiskNameFromFileName(MaintenanceContext& ctx, const std::string& fileName) {
    try {
        if (!ctx.state.mFilesLib) return std::string();
        return ctx.state.mFilesLib->DiskName(fileName);
    }
    K5_TRAP(kFrm, "privGetDiskNameFromFileName")
}

double ConvertFromUnsignedLong64(int32_t low, int32_t high) {
    try {
        constexpr double k2to32 = 4294967296.0;
        double lo = low < 0 ? low + k2to32 : low;
        double hi = high < 0 ? high + k2to32 : high;
        return hi * k2to32 + lo;
    }
    K5_TRAP(kModMain, "ConvertFromUnsignedLong64")
}

namespace {
// The query gives 64-bit numbers; split them the way the free-space call hands them over.
double FromUnsigned64(unsigned long long v) {
    return ConvertFromUnsignedLong64(static_cast<int32_t>(static_cast<uint32_t>(v & 0xFFFFFFFFull)),
                                     static_cast<int32_t>(static_cast<uint32_t>(v >> 32)));
}
} // namespace

void CheckDiskFreeSpace(MaintenanceContext& ctx, const std::string& fileName) {
    try {
        const std::string disk = privGetDiskNameFromFileName(ctx, fileName);
        if (disk.empty()) {
            ctx.log.LogAdd("Свободное место на диске определить не удалось.", true);
            return;
        }
        DiskSpace space;
        const SysResult queried = ctx.env.DiskFreeSpace(disk, space);
        if (queried.Ok()) {
            const double available = FromUnsigned64(space.freeBytesAvailable);
            const double total = FromUnsigned64(space.totalBytes);
            const double totalFree = FromUnsigned64(space.totalFreeBytes);
            std::string text = "Свободное место на диске " + disk + " - " + MemCStr(available, true) +
                               " из " + MemCStr(total, true);
            if (std::fabs(available - totalFree) > 100000)
                text += " (всего свободно " + MemCStr(totalFree, false) + ")";
            ctx.log.LogAdd(text + ".", true);
        } else {
            // A failure without a system reason leaves the reason empty.
            const std::string reason = queried.error > 0 ? GetApiErrorText(queried.error) : std::string();
            ctx.log.LogAdd("Свободное место на диске " + disk + " определить не удалось. Причина: " + reason,
                           true);
        }
    }
    K5_TRAP(kFrm, "CheckDiskFreeSpace")
}

} // namespace k5
