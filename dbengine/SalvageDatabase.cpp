// A damaged file read from its pages: table-type recordsets over the rows a table's pages
// still hold, and a database object for files that SQLite refuses altogether.
#include "dbengine/EngineInternal.h"

namespace k5::db::detail {

namespace {

class SalvageRecordset final : public RecordsetBase {
public:
    SalvageRecordset(std::shared_ptr<Connection> conn, const SalvagedTable& table, TablePlan plan)
        : RecordsetBase(std::move(conn)), mDamage(table.damage),
          mCursor(mConn->Salvage().Pages(), table, std::move(plan)), mDef(table.def) {
        mNames.Build(mDef.Fields);
        mEOF = !mCursor.Next();
    }

    void Invalidate() override { mClosed = true; }
    const std::string* Table() const override { return &mDef.Name; }

    int64_t RecordCount() override {
        CheckValid();
        return mCursor.Count();
    }
    void MoveFirst() override {
        CheckValid();
        mEOF = !mCursor.Seek(INT64_MIN);
        if (mEOF) NoCurrentRecord();
    }
    void MoveNext() override {
        CheckValid();
        if (mEOF) NoCurrentRecord();
        mEOF = !mCursor.Next();
    }

    int FieldCount() override { return static_cast<int>(mDef.Fields.size()); }
    const Field& FieldInfo(int index) override {
        if (index < 0 || index >= FieldCount()) Raise(3265, TextNotFoundItem());
        return mDef.Fields[static_cast<size_t>(index)];
    }
    int FieldIndex(const std::string& name) override { return mNames.Find(name); }

    Value GetValue(int index) override {
        CheckValid();
        if (index < 0 || index >= FieldCount()) Raise(3265, TextNotFoundItem());
        if (mEOF) NoCurrentRecord();
        Value v;
        if (!mCursor.Value(static_cast<size_t>(index), v)) Raise(3049, TextDamaged(mConn->path));
        return v;
    }

    void SetValue(int, const Value&) override { ReadOnly(); }
    void AddNew() override { ReadOnly(); }
    void Update() override { ReadOnly(); }
    void CancelUpdate() override { NoEdit(); }
    int EditMode() override { return dbEditNone; }
    void Close() override { mClosed = true; }
    std::string DefinitionDamage() override { return mDamage; }

private:
    std::string mDamage;
    PlanCursor mCursor;
    TableDef mDef;
    FieldMap mNames;
};

class SalvageDatabase final : public Database {
public:
    explicit SalvageDatabase(std::shared_ptr<Connection> conn) : mConn(std::move(conn)) {}
    ~SalvageDatabase() override { mConn->CloseAll(); }

    std::string Version() override {
        mConn->CheckOpen();
        const std::string v = mConn->Salvage().Meta("format_version");
        return v.empty() ? kFormatVersion : v;
    }
    std::string Name() override { return mConn->path; }
    void Close() override { mConn->CloseAll(); }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& source, int type) override {
        mConn->CheckOpen();
        const bool looksLikeName = source.find_first_of(" \t\r\n(") == std::string::npos;
        if (looksLikeName || type == dbOpenTable) {
            if (mConn->Salvage().Find(source)) return OpenTableRecordset(mConn, source);
            if (type == dbOpenTable) Raise(3011, TextNoObject(source));
            Raise(3078, TextNoInput(source));
        }
        // Queries need SQLite, which refuses this file.
        Raise(3049, TextDamaged(mConn->path));
    }
    std::unique_ptr<Recordset> OpenRecordset(const std::string&, const std::vector<Value>&) override {
        Raise(3049, TextDamaged(mConn->path));
    }
    void Execute(const std::string&) override { ReadOnly(); }
    int64_t RecordsAffected() override { return 0; }

    std::vector<std::string> TableNames() override {
        mConn->CheckOpen();
        return mConn->Salvage().TableNames();
    }
    TableDef GetTableDef(const std::string& name) override {
        mConn->CheckOpen();
        const SalvagedTable* t = mConn->Salvage().Find(name);
        if (!t) Raise(3265, TextNotFoundItem());
        return t->def;
    }
    void AppendTableDef(const TableDef&) override { ReadOnly(); }
    void DeleteTableDef(const std::string&) override { ReadOnly(); }
    void SetProgressHook(ProgressHook hook) override { mConn->progress = std::move(hook); }
    std::string IntegrityCheck(const std::string& = {}) override { return TextDamaged(mConn->path); }

private:
    std::shared_ptr<Connection> mConn;
};

} // namespace

std::unique_ptr<Recordset> OpenSalvageRecordset(std::shared_ptr<Connection> conn, const SalvagedTable& table,
                                                TablePlan plan) {
    return std::make_unique<SalvageRecordset>(std::move(conn), table, std::move(plan));
}

std::unique_ptr<Database> MakeSalvageDatabase(std::shared_ptr<Connection> conn) {
    return std::make_unique<SalvageDatabase>(std::move(conn));
}

} // namespace k5::db::detail
