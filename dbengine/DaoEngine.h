#pragma once
// The database engine: DAO-style objects over one SQLite 3 file per database.
// Every failure is raised as an EngineError (a K5Error whose source is the engine's name)
// with a Jet-style number and a Russian description.
#include "support/Env.h"
#include "support/Error.h"
#include "support/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace k5::db {

inline constexpr const char* kEngineSource = "DAO.Database";

// Field types, numbered as DAO numbers them.
enum FieldType : int {
    dbBoolean = 1,
    dbByte = 2,
    dbInteger = 3,
    dbLong = 4,
    dbCurrency = 5,
    dbSingle = 6,
    dbDouble = 7,
    dbDate = 8,
    dbBinary = 9,
    dbText = 10,
    dbLongBinary = 11,
    dbMemo = 12,
    dbGUID = 15,
};

// Field attributes.
inline constexpr int dbFixedField = 1;
inline constexpr int dbVariableField = 2;
inline constexpr int dbAutoIncrField = 16;
// Index field attribute.
inline constexpr int dbDescending = 1;
// Recordset type and edit modes.
inline constexpr int dbOpenTable = 1;
inline constexpr int dbEditNone = 0;
inline constexpr int dbEditInProgress = 1;
inline constexpr int dbEditAdd = 2;
// CreateDatabase option: the current file format.
inline constexpr int dbVersion40 = 64;
inline constexpr const char* dbLangCyrillic = ";LANGID=0x0419;CP=1251;COUNTRY=0";

class EngineError : public K5Error {
public:
    EngineError(int32_t number, std::string description)
        : K5Error(number, kEngineSource, std::move(description)) {}
};

// A field definition (of a table definition, or the description of a recordset column).
struct Field {
    std::string Name;
    int Type = dbText;
    int Size = 0; // Text: 1..255; fixed types: their byte size
    int Attributes = dbVariableField;
    bool AllowZeroLength = false;
    bool Required = false;
    Value DefaultValue = Null{}; // as DAO gives it: a text ("0", "\"abc\"", "Now()") or null
};

struct IndexField {
    std::string Name;
    int Attributes = 0; // dbDescending
};

struct Index {
    std::string Name;
    std::vector<IndexField> Fields;
    bool Primary = false;
    bool Unique = false;
    bool IgnoreNulls = false;

    IndexField CreateField(const std::string& name) const { return IndexField{name, 0}; }
};

struct TableDef {
    std::string Name;
    std::vector<Field> Fields;
    std::vector<Index> Indexes;

    // A new field with the engine's defaults for the type (size 0 = the type's default size).
    Field CreateField(const std::string& name, int type, int size = 0) const;
    Index CreateIndex(const std::string& name) const { return Index{name, {}, false, false, false}; }
};

// Called during long engine calls (at least every 50 ms): done and total in the call's own
// units (0 total when unknown). Returns nothing; a stop is the caller's business.
using ProgressHook = std::function<void(int64_t done, int64_t total)>;

class Database;

class Recordset {
public:
    virtual ~Recordset() = default;
    // Exact for table-type recordsets.
    virtual int64_t RecordCount() = 0;
    virtual bool IsEOF() = 0;
    virtual void MoveFirst() = 0;
    virtual void MoveNext() = 0;

    virtual int FieldCount() = 0;
    virtual const Field& FieldInfo(int index) = 0;
    // -1 when the recordset has no such field (names compare case-insensitively).
    virtual int FieldIndex(const std::string& name) = 0;
    // Raises an engine error when the stored value cannot be read (a damaged row).
    virtual Value GetValue(int index) = 0;
    Value GetValue(const std::string& name);
    // Only while a row is pending; a value of the wrong type or out of range is refused here.
    virtual void SetValue(int index, const Value& value) = 0;
    void SetValue(const std::string& name, const Value& value);

    virtual void AddNew() = 0;
    // Saves the pending row; the rules (required, zero length, size, unique) are checked here.
    virtual void Update() = 0;
    virtual void CancelUpdate() = 0;
    virtual int EditMode() = 0;
    virtual void Close() = 0;
    // What of the table's stored definition was found damaged and read around (a damaged
    // CREATE text or catalogue row), empty when nothing: only read-only table-type
    // recordsets look.
    virtual std::string DefinitionDamage() { return {}; }
};

class Database {
public:
    virtual ~Database() = default;
    // The file format version text.
    virtual std::string Version() = 0;
    virtual std::string Name() = 0;
    virtual void Close() = 0;

    // By table name with dbOpenTable, or an SQL SELECT text with type 0.
    virtual std::unique_ptr<Recordset> OpenRecordset(const std::string& source, int type = 0) = 0;
    // An SQL SELECT whose "?" marks are bound, in order, to the given values (never
    // spliced into the text).
    virtual std::unique_ptr<Recordset> OpenRecordset(const std::string& sql,
                                                     const std::vector<Value>& params) = 0;
    virtual void Execute(const std::string& sql) = 0;
    // Rows changed by the last Execute.
    virtual int64_t RecordsAffected() = 0;

    // Table definitions (user tables only, in creation order).
    virtual std::vector<std::string> TableNames() = 0;
    // Raises 3265 when the table does not exist.
    virtual TableDef GetTableDef(const std::string& name) = 0;
    virtual TableDef CreateTableDef(const std::string& name) { return TableDef{name, {}, {}}; }
    virtual void AppendTableDef(const TableDef& def) = 0;
    virtual void DeleteTableDef(const std::string& name) = 0;

    virtual void SetProgressHook(ProgressHook hook) = 0;
    // The engine's integrity check: empty when the file is sound. With `apart` (a table of
    // the file), that table and its indexes are checked on a connection of their own beside
    // the other tables, one by one: a file that keeps most of its rows in one table is checked
    // in about half the time on two cores. The split check reads every tree of the file but
    // not the list of free pages.
    virtual std::string IntegrityCheck(const std::string& apart = {}) = 0;
};

// A database file held for this process: other processes can neither open it through this
// engine nor commit a change through SQLite's own locks, while the connections of this
// process open and read it as before. The hold ends when the object goes.
class FileHold {
public:
    virtual ~FileHold() = default;
    // True while `path` names the held file with the size and modification time it had when
    // the hold was taken.
    virtual bool Unchanged(const std::string& path) const = 0;
};

class DBEngine {
public:
    // An engine whose database files, writes and flushes go through `env`: whoever runs the
    // maintenance makes one for the run.
    explicit DBEngine(Env& env = Env::Default());
    // An engine on the system, for tools and tests that run no maintenance.
    static DBEngine& Instance();

    std::string Version() const;
    std::unique_ptr<Database> CreateDatabase(const std::string& path, const std::string& locale,
                                             int options = dbVersion40);
    std::unique_ptr<Database> OpenDatabase(const std::string& path, bool exclusive, bool readOnly);
    // A compacted copy; the source unchanged, the destination flushed to disk.
    void CompactDatabase(const std::string& source, const std::string& destination);
    // True when a compaction of `path` would give next to nothing back: fewer than one page in
    // a hundred is free and every index is built. False also when the file cannot be read.
    bool IsCompact(const std::string& path);
    // Raises 3045 or 3356 when another program uses the file (also a reader of SQLite's own
    // locks), or while a connection of this process has it open.
    std::unique_ptr<FileHold> HoldFile(const std::string& path);

    // Set by the engine's owner for its run; called on the thread that set it, which is
    // asserted (long calls run their work on a helper thread and never call it from there).
    void SetProgressHook(ProgressHook hook);
    const ProgressHook& Progress() const { return mProgress; }

private:
    Env& mEnv;
    const char* mVfs; // the counting layer under SQLite, or null for SQLite's own
    ProgressHook mProgress;
};

} // namespace k5::db
