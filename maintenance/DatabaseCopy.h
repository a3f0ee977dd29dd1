#pragma once
// The rebuild of a database: a new empty file, every table built from the reference
// structure, its rows copied from the source (or from the reference) row by row.
#include "maintenance/Context.h"

#include <optional>
#include <string>
#include <vector>

namespace k5 {

// Without aTableList the tables are those of the reference's "ListTbl" (the target is
// closed and reopened after each); with it, exactly the listed names. True when every
// table was copied completely.
bool CopyDataBase(MaintenanceContext& ctx, const std::string& aSourceFile, const std::string& aTargetFile,
                  const std::string& aRefFile,
                  const std::optional<std::vector<std::string>>& aTableList = std::nullopt);

// Structure from aRefDb, then the rows from aSourceDb (which may be the reference).
bool CopyTable(MaintenanceContext& ctx, const std::string& aTableName, db::Database* aSourceDb,
               db::Database* aTargetDb, db::Database* aRefDb);

// Rebuilds the table in aTargetDb with the reference's fields and indexes; false only
// when the reference lacks the table.
bool CreateTableAndCopyStruct(MaintenanceContext& ctx, const std::string& aTableName, db::Database& aRefDb,
                              db::Database& aTargetDb);

// Drops the table; every error (a missing table included) is ignored.
void DeleteTable(MaintenanceContext& ctx, db::Database& aTargetDb, const std::string& aTableName);

// Name, type, size, zero length, required and default of the reference field.
void AppendField(MaintenanceContext& ctx, db::TableDef& aTableDef, const db::Field& aField);

// Name, fields with their descending bit, and primary or unique/ignore-nulls.
void AppendIndex(MaintenanceContext& ctx, db::TableDef& aTableDef, const db::Index& aIndex);

// Names compared without regard to letter case (Latin).
inline constexpr const char* kPfrErrorsTable = "PFRERRORS";
inline constexpr const char* kDocCellValuesTable = "DOC_CELL_VALUES";

} // namespace k5
