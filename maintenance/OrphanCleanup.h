#pragma once
// The orphan clean-up of the new database file: a fixed, ordered list of SQL statements,
// each executed and reported with the row counts of the table it cleans.
#include "maintenance/Context.h"

#include <optional>
#include <string>
#include <vector>

namespace k5 {

// Runs the clean-up list on aDbFile under its protocol heading. Failures are raised; the
// statements after a failing one are not run.
void DeletingUnnecessaryRecords(MaintenanceContext& ctx, const std::string& aDbFile);

// Executes the statements in order, opening the file exclusively for each one. Texts of
// no known kind are passed over.
void SQLProcessor(MaintenanceContext& ctx, const std::string& aDbFile,
                  const std::vector<std::string>& aStatements);

// The clean-up statements, built afresh on every call.
std::vector<std::string> OrphanCleanupStatements();

enum class SqlKind { DeleteFrom, CreateTable, CreateIndex, InsertInto, DropTable };

struct SqlStatementInfo {
    SqlKind kind;
    std::string name; // the table counted (DELETE FROM) or the object shown
};

// Kind and name by the statement's leading words (case-sensitive); nothing for a text of
// no known kind. A name that cannot be cut out of the text is raised as an error.
std::optional<SqlStatementInfo> ClassifyStatement(const std::string& statement);

} // namespace k5
