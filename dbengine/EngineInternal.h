#pragma once
// Internals of the engine shared by its source files; nothing here is for callers.
#include "dbengine/DaoEngine.h"
#include "dbengine/Salvage.h"

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace k5::db::detail {

// Engine format level reported by Database::Version and written into new files.
inline constexpr const char* kFormatVersion = "4.0";
inline constexpr const char* kCollation = "K5RU";
// The catalogue tables, as "name(columns)" for CREATE TABLE.
inline constexpr const char* kCatalogTables[] = {
    "_k5_meta(key TEXT PRIMARY KEY, value TEXT)",
    "_k5_fields(tbl TEXT NOT NULL, pos INTEGER NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL,"
    " size INTEGER NOT NULL, attributes INTEGER NOT NULL, allow_zero_length INTEGER NOT NULL,"
    " required INTEGER NOT NULL, default_value TEXT, PRIMARY KEY(tbl, pos))",
    "_k5_indexes(tbl TEXT NOT NULL, pos INTEGER NOT NULL, name TEXT NOT NULL, sql_name TEXT NOT NULL,"
    " is_primary INTEGER NOT NULL, is_unique INTEGER NOT NULL, ignore_nulls INTEGER NOT NULL,"
    " PRIMARY KEY(tbl, pos))",
    "_k5_index_fields(tbl TEXT NOT NULL, index_pos INTEGER NOT NULL, pos INTEGER NOT NULL, name TEXT NOT NULL,"
    " attributes INTEGER NOT NULL, PRIMARY KEY(tbl, index_pos, pos))",
};

[[noreturn]] void Raise(int32_t number, const std::string& text);
// Maps an SQLite failure to an engine error; `what` names the file or object concerned.
[[noreturn]] void RaiseSqlite(sqlite3* db, int rc, const std::string& what);
std::string TextNotFoundItem();
std::string TextDamaged(const std::string& file);
std::string TextDuplicate();
std::string TextRequired(const std::string& table, const std::string& field);
// No table or query of that name (3078); no object of that name (3011).
std::string TextNoInput(const std::string& name);
std::string TextNoObject(const std::string& name);
// A value that cannot become the field's type (3421).
[[noreturn]] void ConversionError();
// Refusals of a file that cannot be opened as asked, naming the path.
std::string InUseText(const std::string& path);
std::string ExclusiveText(const std::string& path);
std::string BadPathText(const std::string& path);
std::string NoAccessText(const std::string& path);

// Russian-aware case folding and comparison (Latin, Cyrillic, Ё sorted after Е).
int CompareK5(const char* a, int na, const char* b, int nb);
std::string FoldName(const std::string& s);
bool SameName(const std::string& a, const std::string& b);
void RegisterCollation(sqlite3* db);

std::string Quote(const std::string& identifier);
// SQLite's own tables and the catalogue's (case-insensitive prefixes): not the user's.
bool IsInternalName(const std::string& name);

// ASCII upper case; the text without the blanks around it.
std::string Upper(std::string s);
std::string Trim(const std::string& s);

// Field type helpers.
bool IsKnownType(int type);
int FixedSize(int type); // 0 for variable-size types
bool IsTextType(int type);
std::string DeclaredType(const Field& f);
// A definition from an SQLite declared type, for tables that have no catalogue entry.
Field FieldFromDeclared(const std::string& name, const std::string& declType, bool notNull);
// Converts an assigned value into the field's own representation; raises 3421 when impossible.
Value ConvertForField(const Field& f, const Value& v);
// The value a new row starts with, from the DAO-style default text (null when none or unknown).
Value EvaluateDefault(const Field& f);
// Binds a field value (already converted) to an insert parameter.
void BindValue(sqlite3_stmt* st, int index, const Field& f, const Value& v);
// A stored value, whether SQLite read it or it comes from a record of a damaged page.
struct ColumnView {
    int storage = SQLITE_NULL;
    int64_t i = 0;
    double d = 0;
    const char* p = nullptr;
    size_t n = 0;
};
// Reads a stored value as the field's type; false when the stored value does not fit.
bool ConvertStored(const ColumnView& c, const Field& f, Value& out);
bool ReadColumn(sqlite3_stmt* st, int col, const Field& f, Value& out);
// Reads a column of a query without a known field type.
Value ReadNatural(sqlite3_stmt* st, int col);

// Progress reporting during long SQLite calls, on the calling thread. Off on a helper thread
// of RunLong, where the hook must not be called.
class ProgressScope {
public:
    ProgressScope(sqlite3* db, const ProgressHook& hook);
    ~ProgressScope();
    // Rethrows what the hook threw (it interrupted the call).
    void RethrowIfAny();

private:
    static int Callback(void* self);
    sqlite3* mDb;
    const ProgressHook& mHook;
    std::chrono::steady_clock::time_point mStart, mLast;
    std::exception_ptr mError;
};

// Process-wide file locks: one descriptor per file, flock()ed shared or exclusive. Closing a
// descriptor would drop SQLite's own fcntl locks of this process on that file, so a descriptor
// is closed only when no connection of ours uses the file any more.
class FileLock {
public:
    // Raises 3045/3356 when the file is in use in a conflicting way.
    FileLock(const std::string& path, bool exclusive);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // The shared read-only descriptor of the file; reading through it (never closing it)
    // leaves SQLite's locks alone.
    int Fd() const;

private:
    std::string mKey;
    bool mExclusive;
};

// Takes a FileHold (DBEngine::HoldFile) through the same process-wide locks.
std::unique_ptr<FileHold> HoldFile(const std::string& path);

class RecordsetBase;

// Field lookup by name, case-insensitive.
class FieldMap {
public:
    void Build(const std::vector<Field>& fields) {
        mFields = &fields;
        for (size_t i = 0; i < fields.size(); ++i) {
            mExact.emplace(fields[i].Name, static_cast<int>(i));
            mByName.emplace(FoldName(fields[i].Name), static_cast<int>(i));
        }
    }
    // The copy looks names up for every field of every row, mostly in field order: the field
    // after the last one found is tried first, then the exact spelling, then the folded one.
    int Find(const std::string& name) const {
        if (mFields && mHint < mFields->size() && (*mFields)[mHint].Name == name)
            return Found(static_cast<int>(mHint));
        auto exact = mExact.find(name);
        if (exact != mExact.end()) return Found(exact->second);
        auto it = mByName.find(FoldName(name));
        return it == mByName.end() ? -1 : Found(it->second);
    }

private:
    int Found(int i) const {
        mHint = (static_cast<size_t>(i) + 1) % mFields->size(); // the next row starts again at 0
        return i;
    }
    const std::vector<Field>* mFields = nullptr;
    mutable size_t mHint = 0;
    std::unordered_map<std::string, int> mExact;
    std::unordered_map<std::string, int> mByName;
};

// One open SQLite connection with its lock; shared by the Database and its recordsets.
struct Connection {
    sqlite3* db = nullptr;
    std::string path;
    bool readOnly = false;
    bool exclusive = false;
    bool hasCatalog = false;
    bool closed = false;
    // SQLite refused the file (its schema or header is damaged): only its pages are read.
    bool salvageOnly = false;
    // Read-only, and the file itself holds every committed page (no write-ahead log).
    bool pagesReadable = false;
    int64_t batchedRows = 0;
    // Set when the progress hook asked a long call to stop; work that is not SQLite's polls it.
    std::atomic<bool> interrupted{false};
    std::unique_ptr<FileSalvage> salvage;
    std::unique_ptr<FileLock> lock;
    ProgressHook progress;
    std::vector<RecordsetBase*> recordsets;

    ~Connection();
    void Exec(const std::string& sql);
    // Runs SQLite work of this connection that may block for seconds (index builds, commits,
    // statements over whole tables, compaction) on a helper thread, while this thread calls
    // the progress hook about every 20 ms, so the caller's event loop keeps running. An
    // exception of the hook interrupts the work and is rethrown. Without a hook, and on the
    // helper thread itself, the body runs here.
    void RunLong(const std::function<void()>& body);
    sqlite3_stmt* Prepare(const std::string& sql);
    void CheckOpen() const;
    // The page reader of a read-only file, made on first use.
    FileSalvage& Salvage();
    // Row saves share one transaction, committed every so many rows and at close.
    void BeginBatch();
    void RowSaved();
    void Commit();
    // Non-unique indexes are built after the rows; this builds the ones still missing.
    void BuildPendingIndexes(const std::string& onlyTable = {}, bool uniqueOnly = false);
    // Rows of `_k5_indexes i` whose index is still to be built (the table exists, the index not).
    static constexpr const char* kPendingIndex =
        "i.sql_name <> '' AND NOT EXISTS (SELECT 1 FROM sqlite_schema s WHERE s.type = 'index' AND s.name = "
        "i.sql_name) AND EXISTS (SELECT 1 FROM sqlite_schema t WHERE t.type = 'table' AND t.name = i.tbl)";
    void EnsureCatalog();
    void CloseAll();
};

// Reads the table list, definitions and the catalogue.
std::vector<std::string> ListTables(Connection& c);
// The stored name of a table (case-insensitive match), empty when missing.
std::string ResolveTable(Connection& c, const std::string& name);
TableDef LoadTableDef(Connection& c, const std::string& storedName);

// Errors that every kind of recordset raises.
[[noreturn]] void NoCurrentRecord();
[[noreturn]] void NoEdit();
[[noreturn]] void ReadOnly();

// Finalizes a statement when the scope ends.
struct StmtGuard {
    sqlite3_stmt*& st;
    ~StmtGuard() {
        sqlite3_finalize(st);
        st = nullptr;
    }
};

class RecordsetBase : public Recordset {
public:
    explicit RecordsetBase(std::shared_ptr<Connection> conn);
    ~RecordsetBase() override;
    // Called when the database closes under the recordset.
    virtual void Invalidate() = 0;
    // The table a table-type recordset reads; null for SQL recordsets.
    virtual const std::string* Table() const { return nullptr; }
    bool IsEOF() override;

protected:
    void CheckValid() const;
    // Runs the move to the first row at the end of a constructor: a recordset that cannot get
    // there lets go of its statement before the error leaves the constructor.
    template <class F> void FirstRowOrRelease(F&& first) {
        try {
            first();
        } catch (...) {
            Invalidate();
            throw;
        }
    }
    std::shared_ptr<Connection> mConn;
    bool mClosed = false;
    bool mEOF = true;
};

std::unique_ptr<Recordset> OpenTableRecordset(std::shared_ptr<Connection> conn, const std::string& table);
// The rows of a table of a damaged file, read from its pages.
std::unique_ptr<Recordset> OpenSalvageRecordset(std::shared_ptr<Connection> conn, const SalvagedTable& table,
                                                TablePlan plan);
std::unique_ptr<Recordset> OpenSqlRecordset(std::shared_ptr<Connection> conn, const std::string& sql,
                                            std::vector<Value> params = {});

// Opens (or creates) the database file behind a Database object.
std::unique_ptr<Database> MakeDatabase(std::shared_ptr<Connection> conn);
// A database whose file SQLite refused: its tables are read from the pages, nothing else.
std::unique_ptr<Database> MakeSalvageDatabase(std::shared_ptr<Connection> conn);
// `vfs` names the SQLite VFS for the file (null: SQLite's default).
std::shared_ptr<Connection> OpenConnection(const std::string& path, bool exclusive, bool readOnly,
                                           bool create, const ProgressHook& hook, const char* vfs = nullptr);

// Paths are never URIs: a relative name beginning with "file:" is made "./file:...".
std::string PlainPath(const std::string& path);

} // namespace k5::db::detail
