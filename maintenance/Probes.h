#pragma once
// Probes of the file system: the file-library object, file sizes, the disk of a file and
// its free space.
#include "maintenance/Context.h"
#include "support/FilesLib.h"

#include <cstdint>
#include <memory>
#include <string>

namespace k5 {

// An object of the run's Env for the steps that need one (a failure is raised).
std::shared_ptr<FilesLib> KeptFilesLib(MaintenanceContext& ctx);
// A fresh object, or nullptr after reporting (once per pass) that the library is missing.
std::shared_ptr<FilesLib> privGetK5FilesLib(MaintenanceContext& ctx);
// Size in bytes, or -1 when no file-library object is held.
double privFileSize(MaintenanceContext& ctx, const std::string& fileName);
// The disk (mount point) of a file, or empty when no file-library object is held.
std::string privGetDiskNameFromFileName(MaintenanceContext& ctx, const std::string& fileName);
double ConvertFromUnsignedLong64(int32_t low, int32_t high);
// One protocol entry about the free space of the disk that holds the file; never a failure.
void CheckDiskFreeSpace(MaintenanceContext& ctx, const std::string& fileName);

} // namespace k5
