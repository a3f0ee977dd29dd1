#pragma once
// The check pass and the repair sequence behind it.
#include "maintenance/Context.h"

namespace k5 {

// The check pass: one protocol entry per finding, then the verdict. With `run` set and
// every check passed, writes the parameter summary and runs FixMainDataBase.
void Prophylaxis(MaintenanceContext& ctx, bool run);

// The maintenance run proper: copy, clean-up, BigDocs steps, compaction and the swap.
void FixMainDataBase(MaintenanceContext& ctx);

} // namespace k5
