#pragma once
// Row copy of one table with damage tolerance: damaged rows are reported and skipped,
// rows the engine refuses are reported (up to the per-table limit), cancelled and skipped.
#include "maintenance/Context.h"

#include <cstdint>
#include <string>

namespace k5 {

// Copies the rows of aTableName from aSourceDb into the table of the same name in
// aTargetDb; true when every source row arrived. Either handle may be absent.
bool CopyTableRows(MaintenanceContext& ctx, const std::string& aTableName, db::Database* aSourceDb,
                   db::Database* aTargetDb);

// True when some value of the current row cannot be read.
bool IsRecordCorrupded(MaintenanceContext& ctx, db::Recordset& aRecordset);

// Saves the pending added row; on a refusal reports it (within the limit), cancels the
// row and gives false. The two counts are only read.
bool RsUpdateFT(MaintenanceContext& ctx, db::Recordset& aRecordset, int32_t aRecordNo, int32_t aIgnoredCount);

// The engine's advice sentences cut from refusal texts.
inline constexpr const char* kAdviceRequired = "  Введите значение в поле.";
inline constexpr const char* kAdviceDuplicate =
    "  Измените данные в поле или полях, содержащих повторяющиеся значения, удалите индекс или "
    "переопределите его, чтобы разрешить повторяющиеся значения, и повторите попытку.";

// A refusal text without one trailing advice sentence (the first that matches).
std::string CutEngineAdvice(const std::string& description);

} // namespace k5
