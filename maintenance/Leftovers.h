#pragma once
// Work files that a killed run of this program left behind.
#include "maintenance/Context.h"

namespace k5 {

// Removes, from the database, protocol and BigDocs folders, the work files of our own making
// that a killed run left (compaction targets, archives under construction, copies half made,
// write-test files), so that repeated crashes cannot fill the disk; a BigDocs document left
// only under its ".old" name gets its own name back. Each is a protocol line. Called by the
// run that holds the folder, before its checks.
void RemoveLeftovers(MaintenanceContext& ctx);

} // namespace k5
