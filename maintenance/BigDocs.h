#pragma once
// Maintenance of the BigDocs folder of per-document database files.
#include "maintenance/Context.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace k5 {

// Renames per-document files whose document is gone from aDbFile.
void CheckBigFolder(MaintenanceContext& ctx, const std::string& aDbFolder, const std::string& aDbFile);
// Archives the BigDocs files, then compacts them one by one.
void CompactBigDocs(MaintenanceContext& ctx, const std::string& aDbFolder);

// The failure text of an archiving step whose protocol folder is missing: " не найдена
// папка " + folder + CR LF + "(" + why the folder cannot be reached + ")" + CR LF.
std::string MissingFolderText(const std::string& folder);

// The document id of a per-document file's base name ("12345_1" -> 12345); nothing when
// the part before "_" is not a plain whole number of at most 18 digits.
std::optional<int64_t> DocumentIdOf(const std::string& baseName);

} // namespace k5
