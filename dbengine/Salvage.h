#pragma once
// Reading a damaged database file: the tables, their definitions and their rows as far as
// the pages still hold them, without SQLite's b-tree code (which gives up at the first
// damaged page). Used for read-only opens: it checks each table's tree before its rows are
// read, and serves the rows of a damaged table itself.
#include "dbengine/DaoEngine.h"
#include "dbengine/FilePages.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace k5::db::detail {

// A leaf page that no tree reaches, with what its records look like.
struct Candidate {
    uint32_t page = 0;
    uint16_t cells = 0;
    int64_t first = 0, last = 0;
    int columns = -1; // -1 when the records differ in their column count
    std::vector<uint8_t> classes; // per column: the classes met
};

// A table as the file describes it.
struct SalvagedTable {
    std::string name;
    uint32_t root = 0; // 0 when the table's schema row is lost
    TableDef def;
    std::vector<int> column; // per field of def: its column in the stored record
    int rowidField = -1;     // the field that is the table's rowid (an INTEGER PRIMARY KEY)
    int columns = 0;         // columns of a stored record; 0 when unknown
    std::vector<uint8_t> shape; // per column: the storage classes it may hold (a bit per class)
    std::string damage;      // what of the definition is damaged, empty when nothing
};

// The rows of one table in ascending rowid order: runs of cells of leaf pages, and damaged
// rows (page 0) where a page or a cell could not be read.
struct RowRun {
    uint32_t page = 0;
    uint16_t from = 0, to = 0; // cells [from, to) of the page's pointer array; damaged rows: to - from
    bool headerless = false;   // the page's header is damaged: its cell count was not used
};

struct TablePlan {
    std::vector<RowRun> runs;
    int64_t rows = 0;
    bool clean = true;
};

class FileSalvage {
public:
    // Reads through `fd` (kept open by the caller). `path` names the file in messages.
    FileSalvage(int fd, std::string path);
    ~FileSalvage();

    // True when page 1 holds a table tree, so the file is a (damaged) database at all.
    bool LooksLikeDatabase();

    std::vector<std::string> TableNames();
    // Null when the file has no such table (names compare as the engine compares them).
    const SalvagedTable* Find(const std::string& name);
    // A value of the engine's meta table, empty when absent or unreadable.
    std::string Meta(const std::string& key);

    // The table's tree checked page by page; `clean` false when anything is damaged.
    // `stop` is polled, so a long walk can be abandoned.
    TablePlan Walk(const SalvagedTable& table, const std::atomic<bool>* stop = nullptr);
    // The rows of a damaged table, with the leaf pages that no tree reaches any more but
    // whose records fit this table and the rowids it lacks.
    TablePlan Rescue(const SalvagedTable& table, const std::atomic<bool>* stop = nullptr);

    const FilePages& Pages() const { return mPages; }
    const std::string& Path() const { return mPath; }

private:
    struct Walker;
    // The schema's tables with the shapes their declared types give.
    void LoadTables();
    // The catalogue, and the definitions of all tables.
    void LoadDefinitions();
    std::vector<std::vector<Value>> ReadAll(const SalvagedTable& table);
    void BuildRescue(const std::atomic<bool>* stop);
    void ClaimFreelist(std::vector<uint8_t>& claimed) const;
    TablePlan SchemaPlan(const SalvagedTable& schema);
    std::vector<Candidate> SchemaLeaves(const std::vector<uint8_t>& claimed) const;

    FilePages mPages;
    std::string mPath;
    bool mTablesLoaded = false;
    bool mDefinitionsLoaded = false;
    std::vector<SalvagedTable> mTables;
    std::map<std::string, std::string> mMeta;
    bool mRescueBuilt = false;
    std::map<std::string, TablePlan> mRescued; // by table name
};

// Reads the rows of a plan one after the other.
class PlanCursor {
public:
    PlanCursor(const FilePages& pages, const SalvagedTable& table, TablePlan plan);

    int64_t Count() const { return mPlan.rows; }
    const SalvagedTable& Table() const { return mTable; }
    // To the first row with a rowid above `after` (INT64_MIN: the first row); false at the end.
    bool Seek(int64_t after);
    bool Next();
    // Where the cursor stands, to come back to it.
    std::pair<size_t, uint32_t> Position() const { return {mRun, mCell}; }
    void Restore(std::pair<size_t, uint32_t> position);
    // The row stands for a page or cell that could not be read.
    bool Damaged() const { return mDamaged; }
    int64_t Rowid() const { return mRowid; }
    // The value of field `index`; false when it cannot be read (the row is damaged).
    bool Value(size_t index, k5::Value& out) const;

private:
    bool Load();
    const FilePages& mPages;
    SalvagedTable mTable;
    TablePlan mPlan;
    size_t mRun = 0;
    uint32_t mCell = 0;
    bool mStarted = false;
    bool mDamaged = false;
    bool mRecordOk = false;
    int64_t mRowid = 0;
    std::vector<uint8_t> mPage;
    uint32_t mPageNo = 0;
    std::string mRecord;
    std::vector<StoredValue> mValues;
};

// The catalogue row's type for a field when it agrees with the declared column type; the
// declared type's definition otherwise (a damaged catalogue row must not condemn the rows).
bool CatalogTypeFits(int catalogType, const std::string& declaredType);

} // namespace k5::db::detail
