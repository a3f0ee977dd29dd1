// Recordsets: what every kind shares, and the SQL kind (forward, read-only).
#include "dbengine/EngineInternal.h"

#include <algorithm>

namespace k5::db {

Value Recordset::GetValue(const std::string& name) {
    const int i = FieldIndex(name);
    if (i < 0) detail::Raise(3265, detail::TextNotFoundItem());
    return GetValue(i);
}

void Recordset::SetValue(const std::string& name, const Value& value) {
    const int i = FieldIndex(name);
    if (i < 0) detail::Raise(3265, detail::TextNotFoundItem());
    SetValue(i, value);
}

} // namespace k5::db

namespace k5::db::detail {

RecordsetBase::RecordsetBase(std::shared_ptr<Connection> conn) : mConn(std::move(conn)) {
    mConn->recordsets.push_back(this);
}

RecordsetBase::~RecordsetBase() {
    auto& list = mConn->recordsets;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

bool RecordsetBase::IsEOF() {
    CheckValid();
    return mEOF;
}

void RecordsetBase::CheckValid() const {
    if (mClosed || mConn->closed) Raise(3420, "Объект недействителен или больше не задан.");
}

namespace {

class SqlRecordset final : public RecordsetBase {
public:
    SqlRecordset(std::shared_ptr<Connection> conn, const std::string& sql, std::vector<Value> params)
        : RecordsetBase(std::move(conn)), mSql(sql), mParams(std::move(params)) {
        mStmt = PrepareOne(mSql);
        const int n = sqlite3_column_count(mStmt);
        for (int i = 0; i < n; ++i) {
            const char* name = sqlite3_column_name(mStmt, i);
            const char* decl = sqlite3_column_decltype(mStmt, i);
            Field f = FieldFromDeclared(name ? name : "", decl ? decl : "", false);
            mTyped.push_back(decl != nullptr);
            if (!decl) f.Type = dbMemo, f.Size = 0, f.Attributes = dbVariableField;
            mFields.push_back(std::move(f));
        }
        mNames.Build(mFields);
        FirstRowOrRelease([this] { Step(); });
    }

    ~SqlRecordset() override { Invalidate(); }

    void Invalidate() override {
        sqlite3_finalize(mStmt);
        mStmt = nullptr;
        mClosed = true;
    }

    // Exact: the query is run once more and its rows counted.
    int64_t RecordCount() override {
        CheckValid();
        if (mCount < 0) {
            sqlite3_stmt* st = PrepareOne(mSql);
            StmtGuard guard{st};
            int64_t count = 0;
            int rc = SQLITE_OK;
            mConn->RunLong([&] {
                while ((rc = sqlite3_step(st)) == SQLITE_ROW)
                    ++count;
            });
            if (rc != SQLITE_DONE) RaiseSqlite(mConn->db, rc, mConn->path);
            mCount = count;
        }
        return mCount;
    }

    void MoveFirst() override {
        CheckValid();
        sqlite3_reset(mStmt);
        Step();
        if (mEOF) NoCurrentRecord();
    }

    void MoveNext() override {
        CheckValid();
        if (mEOF) NoCurrentRecord();
        Step();
    }

    int FieldCount() override { return static_cast<int>(mFields.size()); }
    const Field& FieldInfo(int index) override {
        if (index < 0 || index >= FieldCount()) Raise(3265, TextNotFoundItem());
        return mFields[static_cast<size_t>(index)];
    }
    int FieldIndex(const std::string& name) override { return mNames.Find(name); }

    Value GetValue(int index) override {
        CheckValid();
        if (index < 0 || index >= FieldCount()) Raise(3265, TextNotFoundItem());
        if (mEOF) NoCurrentRecord();
        const auto i = static_cast<size_t>(index);
        if (mBad[i]) Raise(3049, TextDamaged(mConn->path));
        return mCells[i];
    }

    void SetValue(int, const Value&) override { ReadOnly(); }
    void AddNew() override { ReadOnly(); }
    void Update() override { ReadOnly(); }
    void CancelUpdate() override { NoEdit(); }
    int EditMode() override { return dbEditNone; }
    void Close() override { Invalidate(); }

private:
    sqlite3_stmt* PrepareOne(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        const char* tail = nullptr;
        const int rc = sqlite3_prepare_v2(mConn->db, sql.c_str(), static_cast<int>(sql.size()), &st, &tail);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(st);
            RaiseSqlite(mConn->db, rc, mConn->path);
        }
        if (!st) Raise(3129, "Недопустимая инструкция SQL.");
        for (; tail && *tail; ++tail)
            if (*tail != ' ' && *tail != '\t' && *tail != '\r' && *tail != '\n' && *tail != ';') {
                sqlite3_finalize(st);
                Raise(3142, "Знаки обнаружены после окончания инструкции SQL.");
            }
        if (static_cast<size_t>(sqlite3_bind_parameter_count(st)) != mParams.size()) {
            sqlite3_finalize(st);
            Raise(3061, "Слишком мало параметров. Требуется " +
                            std::to_string(sqlite3_bind_parameter_count(st)) + ".");
        }
        Field any;
        for (size_t i = 0; i < mParams.size(); ++i)
            BindValue(st, static_cast<int>(i + 1), any, mParams[i]);
        return st;
    }

    void Step() {
        ProgressScope scope(mConn->db, mConn->progress);
        const int rc = sqlite3_step(mStmt);
        if (rc == SQLITE_DONE) {
            mEOF = true;
            return;
        }
        if (rc != SQLITE_ROW) {
            mEOF = true;
            scope.RethrowIfAny();
            RaiseSqlite(mConn->db, rc, mConn->path);
        }
        mEOF = false;
        const size_t n = mFields.size();
        mCells.resize(n);
        mBad.assign(n, 0);
        for (size_t i = 0; i < n; ++i) {
            const int col = static_cast<int>(i);
            if (!mTyped[i])
                mCells[i] = ReadNatural(mStmt, col);
            else if (!ReadColumn(mStmt, col, mFields[i], mCells[i]))
                mCells[i] = ReadNatural(mStmt, col); // an expression over a typed column
        }
    }

    std::string mSql;
    std::vector<Value> mParams; // bound with SQLITE_STATIC: they live as long as the recordset
    sqlite3_stmt* mStmt = nullptr;
    std::vector<Field> mFields;
    std::vector<bool> mTyped;
    FieldMap mNames;
    int64_t mCount = -1;
    std::vector<Value> mCells;
    std::vector<char> mBad;
};

} // namespace

std::unique_ptr<Recordset> OpenSqlRecordset(std::shared_ptr<Connection> conn, const std::string& sql,
                                            std::vector<Value> params) {
    return std::make_unique<SqlRecordset>(std::move(conn), sql, std::move(params));
}

} // namespace k5::db::detail
