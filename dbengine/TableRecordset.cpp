// Table-type recordsets: rows by rowid, damage-tolerant reads, batched saves.
#include "dbengine/EngineInternal.h"
#include "support/Utf8.h"

#include <algorithm>
#include <climits>

namespace k5::db::detail {

namespace {

class TableRecordset final : public RecordsetBase {
public:
    // `backup` (read-only files) holds the rows as the checked pages give them: the scan
    // continues from it where SQLite cannot go on, and `count` is its number of rows.
    TableRecordset(std::shared_ptr<Connection> conn, const std::string& table,
                   std::unique_ptr<PlanCursor> backup = nullptr, int64_t count = -1, std::string damage = {})
        : RecordsetBase(std::move(conn)), mBackup(std::move(backup)), mKnownCount(count),
          mDamage(std::move(damage)) {
        mDef = LoadTableDef(*mConn, table);
        mNames.Build(mDef.Fields);
        for (auto& ix : mDef.Indexes)
            if (ix.Primary)
                for (auto& xf : ix.Fields)
                    if (const int k = mNames.Find(xf.Name); k >= 0) mPrimaryFields.push_back(k);
        std::string cols;
        for (auto& f : mDef.Fields)
            cols += ", " + Quote(f.Name);
        mScan = mConn->Prepare("SELECT rowid" + cols + " FROM " + Quote(table) +
                               " WHERE rowid > ?1 ORDER BY rowid");
        FirstRowOrRelease([this] { Rewind(); });
    }

    ~TableRecordset() override { Finalize(); }

    void Invalidate() override {
        Finalize();
        mClosed = true;
    }

    const std::string* Table() const override { return &mDef.Name; }

    std::string DefinitionDamage() override { return mDamage; }

    int64_t RecordCount() override {
        CheckValid();
        if (mKnownCount >= 0) return mKnownCount;
        sqlite3_stmt* st = mConn->Prepare("SELECT count(*) FROM " + Quote(mDef.Name));
        StmtGuard guard{st};
        // The count walks every page of the table in one step: long for tables of big values.
        int rc = SQLITE_OK;
        mConn->RunLong([&] { rc = sqlite3_step(st); });
        if (rc != SQLITE_ROW) RaiseSqlite(mConn->db, rc, mConn->path);
        return sqlite3_column_int64(st, 0);
    }

    // Like its model, a move to the first row of an empty table fails (3021).
    void MoveFirst() override {
        CheckValid();
        Rewind();
        if (mEOF) NoCurrentRecord();
    }

    void Rewind() {
        mEditMode = dbEditNone;
        mScanActive = false;
        mFromBackup = false;
        mLastRowid = INT64_MIN;
        Advance();
    }

    void MoveNext() override {
        CheckValid();
        if (mEOF) NoCurrentRecord();
        mEditMode = dbEditNone;
        Advance();
    }

    int FieldCount() override { return static_cast<int>(mDef.Fields.size()); }

    const Field& FieldInfo(int index) override {
        CheckIndex(index);
        return mDef.Fields[static_cast<size_t>(index)];
    }

    int FieldIndex(const std::string& name) override { return mNames.Find(name); }

    Value GetValue(int index) override {
        CheckValid();
        CheckIndex(index);
        const auto i = static_cast<size_t>(index);
        if (mEditMode == dbEditAdd) return mSet[i] ? mPending[i] : Value(Null{});
        if (mEOF) NoCurrentRecord();
        if (mDamaged && !mLoaded[i]) LoadColumnAlone(i);
        if (mBad[i]) Raise(3049, TextDamaged(mConn->path));
        return mCells[i];
    }

    void SetValue(int index, const Value& value) override {
        CheckValid();
        CheckIndex(index);
        if (mEditMode == dbEditNone) NoEdit();
        const auto i = static_cast<size_t>(index);
        const Field& f = mDef.Fields[i];
        if (IsNull(value)) {
            mSet[i] = 0;
            return;
        }
        // Text into a text field is the common case: it reuses the pending row's buffer.
        if (auto s = std::get_if<std::string>(&value); s && IsTextType(f.Type)) {
            if (!utf8::IsValid(s->data(), s->size())) ConversionError();
            if (auto held = std::get_if<std::string>(&mPending[i]))
                held->assign(*s);
            else
                mPending[i] = *s;
            mSet[i] = 1;
            return;
        }
        mPending[i] = ConvertForField(f, value);
        mSet[i] = 1;
    }

    void AddNew() override {
        CheckValid();
        if (mConn->readOnly) ReadOnly();
        mPending.resize(mDef.Fields.size());
        mSet.assign(mDef.Fields.size(), 0);
        for (size_t i = 0; i < mDef.Fields.size(); ++i) {
            if (IsNull(mDef.Fields[i].DefaultValue)) continue;
            Value v = EvaluateDefault(mDef.Fields[i]);
            if (!IsNull(v)) {
                mPending[i] = std::move(v);
                mSet[i] = 1;
            }
        }
        mEditMode = dbEditAdd;
    }

    void Update() override {
        CheckValid();
        if (mEditMode == dbEditNone) NoEdit();
        CheckRules();
        if (!mInsert) {
            std::string names, params;
            for (size_t i = 0; i < mDef.Fields.size(); ++i) {
                names += (i ? ", " : "") + Quote(mDef.Fields[i].Name);
                params += (i ? ", ?" : "?") + std::to_string(i + 1);
            }
            mInsert = mConn->Prepare("INSERT INTO " + Quote(mDef.Name) + " (" + names + ") VALUES (" +
                                     params + ")");
        }
        mConn->BeginBatch();
        for (size_t i = 0; i < mDef.Fields.size(); ++i)
            if (mSet[i])
                BindValue(mInsert, static_cast<int>(i + 1), mDef.Fields[i], mPending[i]);
            else
                sqlite3_bind_null(mInsert, static_cast<int>(i + 1));
        const int rc = sqlite3_step(mInsert);
        sqlite3_reset(mInsert);
        if (rc != SQLITE_DONE) {
            const bool lostBatch = mConn->batchedRows > 0 && sqlite3_get_autocommit(mConn->db);
            if (!lostBatch) RaiseSqlite(mConn->db, rc, mDef.Name);
            // SQLite gave up the whole transaction (disk full, I/O error): say so.
            mConn->batchedRows = 0;
            try {
                RaiseSqlite(mConn->db, rc, mDef.Name);
            } catch (const EngineError& e) {
                Raise(e.Number(),
                      e.Description() + " Записи, добавленные после последнего сохранения, потеряны.");
            }
        }
        for (auto& [field, next] : mNextAuto)
            if (auto v = std::get_if<int32_t>(&mPending[field]); mSet[field] && v && *v >= next)
                next = int64_t(*v) + 1;
        mEditMode = dbEditNone;
        mConn->RowSaved();
    }

    void CancelUpdate() override {
        CheckValid();
        if (mEditMode == dbEditNone) NoEdit();
        mEditMode = dbEditNone;
        mSet.assign(mSet.size(), 0);
    }

    int EditMode() override { return mEditMode; }

    void Close() override {
        if (mClosed) return;
        Finalize();
        mClosed = true;
    }

private:
    void CheckIndex(int index) const {
        if (index < 0 || index >= static_cast<int>(mDef.Fields.size())) Raise(3265, TextNotFoundItem());
    }

    void Finalize() {
        sqlite3_finalize(mScan);
        sqlite3_finalize(mInsert);
        mScan = mInsert = nullptr;
    }

    // Steps to the row after mLastRowid. A row whose contents cannot be read stops the scan;
    // its rowid is then found on its own and the scan restarts after it.
    void Advance() {
        if (mFromBackup) return BackupRow(mBackup->Next());
        if (!mScanActive) {
            sqlite3_reset(mScan);
            sqlite3_bind_int64(mScan, 1, mLastRowid);
            mScanActive = true;
        }
        const size_t n = mDef.Fields.size();
        const int rc = sqlite3_step(mScan);
        if (rc == SQLITE_ROW) {
            mEOF = false;
            mDamaged = false;
            mRowid = sqlite3_column_int64(mScan, 0);
            mLastRowid = mRowid;
            mCells.resize(n);
            mBad.assign(n, 0);
            for (size_t i = 0; i < n; ++i)
                if (!ReadColumn(mScan, static_cast<int>(i + 1), mDef.Fields[i], mCells[i])) mBad[i] = 1;
            return;
        }
        mScanActive = false;
        sqlite3_reset(mScan);
        if (rc == SQLITE_DONE) {
            mEOF = true;
            return;
        }
        // Only a row that cannot be read counts as damaged; a busy file or a lack of memory is an
        // error of the move itself.
        switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_NOMEM:
        case SQLITE_INTERRUPT:
        case SQLITE_FULL:
            RaiseSqlite(mConn->db, rc, mConn->path);
        default:
            break;
        }
        sqlite3_stmt* next = mConn->Prepare("SELECT rowid FROM " + Quote(mDef.Name) +
                                            " WHERE rowid > ?1 ORDER BY rowid LIMIT 1");
        StmtGuard guard{next};
        sqlite3_bind_int64(next, 1, mLastRowid);
        const int nrc = sqlite3_step(next);
        if (nrc == SQLITE_DONE) {
            mEOF = true;
            return;
        }
        // SQLite cannot find the next row, or answers one that is not past the last: the
        // checked pages take over from the last row read.
        const bool lost = nrc != SQLITE_ROW ||
                          (sqlite3_column_int64(next, 0) <= mLastRowid && mLastRowid != INT64_MIN);
        if (lost && mBackup) {
            mFromBackup = true;
            return BackupRow(mBackup->Seek(mLastRowid));
        }
        if (nrc != SQLITE_ROW) RaiseSqlite(mConn->db, nrc, mConn->path);
        // Going on would visit the same row for ever. The rows end here.
        if (lost) {
            mEOF = true;
            return;
        }
        mEOF = false;
        mDamaged = true;
        mRowid = sqlite3_column_int64(next, 0);
        mLastRowid = mRowid;
        mCells.assign(n, Null{});
        mBad.assign(n, 0);
        mLoaded.assign(n, 0);
    }

    void BackupRow(bool found) {
        mEOF = !found;
        mDamaged = false;
        if (mEOF) return;
        const size_t n = mDef.Fields.size();
        if (mBackupField.empty()) {
            mBackupField.assign(n, -1);
            const TableDef& def = mBackup->Table().def;
            for (size_t i = 0; i < n; ++i)
                for (size_t k = 0; k < def.Fields.size(); ++k)
                    if (SameName(def.Fields[k].Name, mDef.Fields[i].Name)) mBackupField[i] = static_cast<int>(k);
        }
        if (!mBackup->Damaged()) mRowid = mLastRowid = mBackup->Rowid();
        mCells.resize(n);
        mBad.assign(n, 0);
        for (size_t i = 0; i < n; ++i) {
            if (mBackupField[i] < 0)
                mCells[i] = Null{};
            else if (!mBackup->Value(static_cast<size_t>(mBackupField[i]), mCells[i]))
                mBad[i] = 1;
        }
    }

    void LoadColumnAlone(size_t i) {
        mLoaded[i] = 1;
        sqlite3_stmt* st = nullptr;
        const std::string sql =
            "SELECT " + Quote(mDef.Fields[i].Name) + " FROM " + Quote(mDef.Name) + " WHERE rowid = ?1";
        if (sqlite3_prepare_v2(mConn->db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            sqlite3_finalize(st);
            mBad[i] = 1;
            return;
        }
        StmtGuard guard{st};
        sqlite3_bind_int64(st, 1, mRowid);
        if (sqlite3_step(st) != SQLITE_ROW || !ReadColumn(st, 0, mDef.Fields[i], mCells[i])) mBad[i] = 1;
    }

    void CheckRules() {
        const std::string& table = mDef.Name;
        for (size_t i = 0; i < mDef.Fields.size(); ++i) {
            const Field& f = mDef.Fields[i];
            Value& v = mPending[i];
            if (!mSet[i] && (f.Attributes & dbAutoIncrField) && f.Type == dbLong) {
                v = static_cast<int32_t>(NextAutoNumber(i));
                mSet[i] = 1;
            }
            if (!mSet[i]) {
                if (f.Required) Raise(3314, TextRequired(table, f.Name));
                continue;
            }
            if (auto s = std::get_if<std::string>(&v)) {
                if (s->empty() && !f.AllowZeroLength)
                    Raise(3315,
                          "Поле '" + table + "." + f.Name + "' не может содержать строку нулевой длины.");
                if (f.Type == dbText && s->size() > static_cast<size_t>(f.Size) &&
                    utf8::CodePoints(*s) > static_cast<size_t>(f.Size))
                    TooLong();
            } else if (auto b = std::get_if<Bytes>(&v)) {
                if (f.Type == dbBinary && b->size() > static_cast<size_t>(f.Size)) TooLong();
            }
        }
        for (int k : mPrimaryFields)
            if (!mSet[static_cast<size_t>(k)])
                Raise(3058, "Индекс или ключевое поле не могут содержать значение Null.");
    }

    [[noreturn]] static void TooLong() {
        Raise(3163,
              "Поле слишком мало для принятия такого количества данных. Попробуйте вставить меньший объем "
              "данных.");
    }

    int64_t NextAutoNumber(size_t field) {
        auto it = std::find_if(mNextAuto.begin(), mNextAuto.end(), [&](auto& p) { return p.first == field; });
        if (it == mNextAuto.end()) {
            sqlite3_stmt* st =
                mConn->Prepare("SELECT max(" + Quote(mDef.Fields[field].Name) + ") FROM " + Quote(mDef.Name));
            StmtGuard guard{st};
            const int rc = sqlite3_step(st);
            if (rc != SQLITE_ROW) RaiseSqlite(mConn->db, rc, mConn->path);
            mNextAuto.emplace_back(field, sqlite3_column_int64(st, 0) + 1);
            it = std::prev(mNextAuto.end());
        }
        if (it->second > INT32_MAX) ConversionError();
        return it->second;
    }

    std::unique_ptr<PlanCursor> mBackup;
    int64_t mKnownCount = -1;
    std::string mDamage;
    bool mFromBackup = false;
    std::vector<int> mBackupField; // per field: the backup's field of that name
    TableDef mDef;
    FieldMap mNames;
    std::vector<int> mPrimaryFields;
    sqlite3_stmt* mScan = nullptr;
    sqlite3_stmt* mInsert = nullptr;
    bool mScanActive = false;
    int64_t mLastRowid = INT64_MIN;
    bool mDamaged = false;
    int64_t mRowid = 0;
    std::vector<Value> mCells;
    std::vector<char> mBad;
    std::vector<char> mLoaded;
    int mEditMode = dbEditNone;
    std::vector<Value> mPending; // meaningful where mSet is 1; null elsewhere
    std::vector<char> mSet;
    std::vector<std::pair<size_t, int64_t>> mNextAuto;
};

} // namespace

std::unique_ptr<Recordset> OpenTableRecordset(std::shared_ptr<Connection> conn, const std::string& table) {
    // The pages of a read-only file are checked first: SQLite's own scan is used only for a
    // table whose tree is sound, and the rows of a damaged one come from its pages.
    if (conn->pagesReadable) {
        FileSalvage& salvage = conn->Salvage();
        if (const SalvagedTable* t = salvage.Find(table)) {
            TablePlan plan;
            conn->RunLong([&] { plan = salvage.Walk(*t, &conn->interrupted); });
            if (plan.clean && !conn->salvageOnly) {
                const int64_t rows = plan.rows;
                try {
                    auto backup = std::make_unique<PlanCursor>(salvage.Pages(), *t, plan);
                    return std::make_unique<TableRecordset>(conn, table, std::move(backup), rows, t->damage);
                } catch (const EngineError& e) {
                    // The catalogue's own pages are damaged where SQLite reads this table's
                    // definition: the rows come from the pages, by the definition read there.
                    if (e.Number() != 3049) throw;
                }
            }
            if (!plan.clean) conn->RunLong([&] { plan = salvage.Rescue(*t, &conn->interrupted); });
            return OpenSalvageRecordset(std::move(conn), *t, std::move(plan));
        }
    }
    return std::make_unique<TableRecordset>(std::move(conn), table);
}

} // namespace k5::db::detail
