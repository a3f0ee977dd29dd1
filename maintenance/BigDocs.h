#pragma once
// Maintenance of the BigDocs folder of per-document database files.
#include "maintenance/Context.h"

#include <string>

namespace k5 {

// Renames per-document files whose document is gone from aDbFile.
void CheckBigFolder(MaintenanceContext& ctx, const std::string& aDbFolder, const std::string& aDbFile);
// Archives the BigDocs files, then compacts them one by one.
void CompactBigDocs(MaintenanceContext& ctx, const std::string& aDbFolder);

} // namespace k5
