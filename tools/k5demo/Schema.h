#pragma once
// The table structure of the demo databases: the reference structure, the table list and
// the few places where the main file's own structure differs from the reference.
#include "dbengine/DaoEngine.h"

#include <string>
#include <vector>

namespace k5demo {

struct ColumnSpec {
    std::string Name;
    int Type = k5::db::dbLong;
    int Size = 0;
    bool Required = false;
    bool AllowZeroLength = false;
    std::string Default; // as the engine keeps it ("0", "\"руб.\""), empty for none
    bool AutoIncrement = false;
};

struct IndexSpec {
    std::string Name;
    std::vector<std::string> Fields; // a leading '-' marks a descending field
    bool Primary = false;
    bool Unique = false;
    bool IgnoreNulls = false;
};

struct TableSpec {
    std::string Name;
    int ListType = 1;       // the table list's type: 1 rows from the source, 0 from the reference
    bool InMainFile = true; // false: the table the main file lacks
    bool Listed = true;     // in the table list at all
    std::vector<ColumnSpec> Columns;
    std::vector<IndexSpec> Indexes;

    int ColumnIndex(const std::string& name) const;
};

// Every table of the reference database, in the order of its table list.
const std::vector<TableSpec>& Tables();
const TableSpec& Table(const std::string& name);

// The engine definition; `mainFile` applies the main file's deviations from the reference
// (a unique index kept non-unique, a required field left optional).
k5::db::TableDef BuildTableDef(k5::db::Database& db, const TableSpec& spec, bool mainFile);

// The main file's deviations, for the summary and the tests.
inline constexpr const char* kLooseUniqueTable = "NaturalPerson";
inline constexpr const char* kLooseUniqueIndex = "NaturalPerson_Inn";
inline constexpr const char* kLooseRequiredTable = "AccStream";
inline constexpr const char* kLooseRequiredField = "Name";
inline constexpr const char* kMissingTable = "PfrPacks";

} // namespace k5demo
