#pragma once
// Whole database files: create an empty one, open one with or without a protocol line,
// compact one in place, and read the version recorded inside.
#include "maintenance/Context.h"

#include <chrono>
#include <memory>
#include <string>

namespace k5 {

// Creates an empty database (Cyrillic sort order) and closes it again; the protocol
// tells the outcome. Callers reopen the file with OpenMdbFile.
bool CreateMdb(MaintenanceContext& ctx, const std::string& aDbFile, const std::string& aDescription);

// Opens with a protocol line; nothing when the engine refused. An exclusive open of a
// file in use also sets mAdviceText. With aVerify a file that fails the engine's integrity
// check is refused like one that cannot be opened, the damage as the reason.
std::unique_ptr<db::Database> OpenMdb(MaintenanceContext& ctx, const std::string& aDbFile,
                                      const std::string& aDescription, bool aExclusive, bool aReadOnly,
                                      bool aVerify = false);

// The refusal of a file in use (the in-use line) and the advice to close the programs.
void LogInUse(MaintenanceContext& ctx, const std::string& aDescription, const std::string& aDbFile);

// Opens without a protocol line; a missing file gets a warning box first. Every failure
// is raised to the caller.
std::unique_ptr<db::Database> OpenMdbFile(MaintenanceContext& ctx, const std::string& aDbFile,
                                          bool aExclusive, bool aReadOnly);

// Compacts into aDbFile + ".pack" and swaps it in through aDbFile + ".old". Failures are
// raised; a step already done is not undone.
bool CompactMdb(MaintenanceContext& ctx, const std::string& aDbFile);

// "Major.Minor.Build" from the first row of "DBVersion", or empty when it cannot be read.
// An empty "DBVersion" table is raised as an error.
std::string GetDataBaseVersion(MaintenanceContext& ctx, db::Database& aDb);

// MoveFirst that fails (3021) on a table without rows.
void MoveToFirstRow(db::Recordset& rs);

// Texts shared with the check pass.
inline constexpr const char* kInUseAdvice =
    "Закройте программу Корунд-5W или другие программы ПК \"Корунд-5\" и начните профилактику БД заново, "
    "нажав на кнопку \"Выполнить\".";

} // namespace k5
