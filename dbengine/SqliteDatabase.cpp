// A database over one SQLite file: recordsets, statements, table definitions and the catalogue.
#include "dbengine/EngineInternal.h"

#include <algorithm>
#include <cctype>
#include <thread>
#include <vector>

namespace k5::db {

using namespace detail;

namespace {

std::string FirstWord(const char* sql) {
    std::string w;
    while (*sql && std::isspace(static_cast<unsigned char>(*sql)))
        ++sql;
    while (*sql && std::isalpha(static_cast<unsigned char>(*sql)))
        w += static_cast<char>(std::toupper(static_cast<unsigned char>(*sql++)));
    return w;
}

std::string InvalidNameText(const std::string& name) {
    return "'" + name +
           "' не является допустимым именем. Убедитесь, что оно не содержит недопустимых знаков или знаков "
           "пунктуации и не является слишком длинным.";
}

std::string DefaultText(const Value& v) {
    if (IsNull(v)) return {};
    if (auto s = std::get_if<std::string>(&v)) return *s;
    Field memo;
    memo.Type = dbMemo;
    return std::get<std::string>(ConvertForField(memo, v));
}

using StmtPtr = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

class SqliteDatabase final : public Database {
public:
    explicit SqliteDatabase(std::shared_ptr<Connection> conn) : mConn(std::move(conn)) {}
    ~SqliteDatabase() override {
        if (mConn) mConn->CloseAll();
    }

    std::string Version() override {
        mConn->CheckOpen();
        if (!mConn->hasCatalog) return kFormatVersion;
        sqlite3_stmt* st = mConn->Prepare("SELECT value FROM _k5_meta WHERE key = 'format_version'");
        std::string v = kFormatVersion;
        if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
            v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return v;
    }

    std::string Name() override { return mConn->path; }

    void Close() override {
        if (mConn->closed) return;
        try {
            mConn->RunLong([&] {
                mConn->BuildPendingIndexes();
                mConn->Commit();
            });
        } catch (...) {
            mConn->CloseAll();
            throw;
        }
        mConn->CloseAll();
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& source, int type) override {
        mConn->CheckOpen();
        const bool looksLikeName = source.find_first_of(" \t\r\n(") == std::string::npos;
        const std::string stored = looksLikeName || type == dbOpenTable ? ResolveTable(*mConn, source) : "";
        if (!stored.empty()) return OpenTableRecordset(mConn, stored);
        if (type != dbOpenTable && looksLikeName) Raise(3078, TextNoInput(source));
        if (type == dbOpenTable) Raise(3011, TextNoObject(source));
        mConn->RunLong([&] { mConn->BuildPendingIndexes(); });
        return OpenSqlRecordset(mConn, source);
    }

    std::unique_ptr<Recordset> OpenRecordset(const std::string& sql,
                                             const std::vector<Value>& params) override {
        mConn->CheckOpen();
        mConn->RunLong([&] { mConn->BuildPendingIndexes(); });
        return OpenSqlRecordset(mConn, sql, params);
    }

    void Execute(const std::string& sql) override {
        mConn->CheckOpen();
        mAffected = 0;
        bool ddl = false;
        mConn->RunLong([&] {
            mConn->BuildPendingIndexes();
            const char* tail = sql.c_str();
            const char* end = tail + sql.size();
            while (tail < end) {
                sqlite3_stmt* st = nullptr;
                const char* next = nullptr;
                int rc = sqlite3_prepare_v2(mConn->db, tail, static_cast<int>(end - tail), &st, &next);
                if (rc != SQLITE_OK) {
                    sqlite3_finalize(st);
                    RaiseSqlite(mConn->db, rc, mConn->path);
                }
                tail = next;
                if (!st) continue; // blanks or a comment after the last statement
                if (sqlite3_column_count(st) > 0 && sqlite3_stmt_readonly(st)) {
                    sqlite3_finalize(st);
                    Raise(3065, "Невозможно выполнить запрос на выборку.");
                }
                const std::string word = FirstWord(sqlite3_sql(st));
                ddl = ddl || word == "DROP" || word == "ALTER";
                const int64_t before = sqlite3_total_changes64(mConn->db);
                while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                }
                sqlite3_finalize(st);
                if (rc != SQLITE_DONE) RaiseSqlite(mConn->db, rc, mConn->path);
                mAffected += sqlite3_total_changes64(mConn->db) - before;
            }
        });
        if (ddl && mConn->hasCatalog) PurgeCatalog();
    }

    int64_t RecordsAffected() override { return mAffected; }

    std::vector<std::string> TableNames() override {
        mConn->CheckOpen();
        return ListTables(*mConn);
    }

    TableDef GetTableDef(const std::string& name) override {
        mConn->CheckOpen();
        const std::string stored = ResolveTable(*mConn, name);
        if (stored.empty()) Raise(3265, TextNotFoundItem());
        return LoadTableDef(*mConn, stored);
    }

    void AppendTableDef(const TableDef& input) override {
        mConn->CheckOpen();
        const TableDef def = Validate(input);
        mConn->EnsureCatalog();
        mConn->Exec("SAVEPOINT k5_append");
        try {
            // A primary key of one ascending Long field is the table's own key (an INTEGER PRIMARY KEY
            // column): no separate index to maintain, and the rows are kept in key order.
            const int keyField = RowidKeyField(def);
            std::string sql = "CREATE TABLE " + Quote(def.Name) + " (";
            for (size_t i = 0; i < def.Fields.size(); ++i) {
                const Field& f = def.Fields[i];
                sql +=
                    (i ? ", " : "") + Quote(f.Name) + " " +
                    (static_cast<int>(i) == keyField ? std::string("INTEGER PRIMARY KEY") : DeclaredType(f));
                if (f.Required) sql += " NOT NULL";
                if (IsTextType(f.Type)) sql += std::string(" COLLATE ") + kCollation;
            }
            sql += ")";
            mConn->Exec(sql);
            StmtPtr fieldsSt(mConn->Prepare("INSERT INTO _k5_fields(tbl, pos, name, type, size, attributes, "
                                            "allow_zero_length, required,"
                                            " default_value) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
                             sqlite3_finalize);
            sqlite3_stmt* st = fieldsSt.get();
            for (size_t i = 0; i < def.Fields.size(); ++i) {
                const Field& f = def.Fields[i];
                sqlite3_bind_text(st, 1, def.Name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(st, 2, static_cast<int>(i));
                sqlite3_bind_text(st, 3, f.Name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(st, 4, f.Type);
                sqlite3_bind_int(st, 5, f.Size);
                sqlite3_bind_int(st, 6, f.Attributes);
                sqlite3_bind_int(st, 7, f.AllowZeroLength ? 1 : 0);
                sqlite3_bind_int(st, 8, f.Required ? 1 : 0);
                if (IsNull(f.DefaultValue))
                    sqlite3_bind_null(st, 9);
                else
                    sqlite3_bind_text(st, 9, DefaultText(f.DefaultValue).c_str(), -1, SQLITE_TRANSIENT);
                StepOnce(st);
            }
            StmtPtr indexesSt(
                mConn->Prepare("INSERT INTO _k5_indexes(tbl, pos, name, sql_name, is_primary, is_unique,"
                               " ignore_nulls) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"),
                sqlite3_finalize);
            st = indexesSt.get();
            StmtPtr fieldsOfIndexSt(mConn->Prepare("INSERT INTO _k5_index_fields(tbl, index_pos, pos, name, "
                                                   "attributes) VALUES (?1, ?2, ?3, ?4, ?5)"),
                                    sqlite3_finalize);
            sqlite3_stmt* fs = fieldsOfIndexSt.get();
            for (size_t i = 0; i < def.Indexes.size(); ++i) {
                const Index& ix = def.Indexes[i];
                const std::string sqlName = (ix.Primary && keyField >= 0) ? "" : def.Name + "." + ix.Name;
                sqlite3_bind_text(st, 1, def.Name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(st, 2, static_cast<int>(i));
                sqlite3_bind_text(st, 3, ix.Name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_text(st, 4, sqlName.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(st, 5, ix.Primary ? 1 : 0);
                sqlite3_bind_int(st, 6, ix.Unique ? 1 : 0);
                sqlite3_bind_int(st, 7, ix.IgnoreNulls ? 1 : 0);
                StepOnce(st);
                for (size_t k = 0; k < ix.Fields.size(); ++k) {
                    sqlite3_bind_text(fs, 1, def.Name.c_str(), -1, SQLITE_TRANSIENT);
                    sqlite3_bind_int(fs, 2, static_cast<int>(i));
                    sqlite3_bind_int(fs, 3, static_cast<int>(k));
                    sqlite3_bind_text(fs, 4, ix.Fields[k].Name.c_str(), -1, SQLITE_TRANSIENT);
                    sqlite3_bind_int(fs, 5, ix.Fields[k].Attributes);
                    StepOnce(fs);
                }
            }
            // Unique indexes refuse duplicates row by row; the others are built after the rows.
            mConn->BuildPendingIndexes(def.Name, true);
            mConn->Exec("RELEASE k5_append");
        } catch (...) {
            sqlite3_exec(mConn->db, "ROLLBACK TO k5_append; RELEASE k5_append;", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void DeleteTableDef(const std::string& name) override {
        mConn->CheckOpen();
        const std::string stored = ResolveTable(*mConn, name);
        if (stored.empty()) Raise(3265, TextNotFoundItem());
        // Open statements on the table would keep it locked: its recordsets and SQL ones close.
        for (auto* rs : std::vector<RecordsetBase*>(mConn->recordsets))
            if (!rs->Table() || SameName(*rs->Table(), stored)) rs->Invalidate();
        mConn->Exec("SAVEPOINT k5_delete");
        try {
            mConn->Exec("DROP TABLE " + Quote(stored));
            if (mConn->hasCatalog) PurgeCatalog();
            mConn->Exec("RELEASE k5_delete");
        } catch (...) {
            sqlite3_exec(mConn->db, "ROLLBACK TO k5_delete; RELEASE k5_delete;", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void SetProgressHook(ProgressHook hook) override { mConn->progress = std::move(hook); }

    std::string IntegrityCheck(const std::string& apart) override {
        mConn->CheckOpen();
        std::string report;
        auto add = [&](const std::string& line) { report += (report.empty() ? "" : "\n") + line; };
        try {
            mConn->RunLong([&] {
                std::vector<std::string> tables;
                if (!apart.empty()) {
                    tables.emplace_back("sqlite_schema"); // the schema's own tree
                    sqlite3_stmt* list =
                        mConn->Prepare("SELECT name FROM sqlite_schema WHERE type = 'table'");
                    while (sqlite3_step(list) == SQLITE_ROW)
                        tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)));
                    sqlite3_finalize(list);
                }
                const bool split = std::any_of(tables.begin(), tables.end(),
                                               [&](const std::string& t) { return t == apart; });
                if (!split) return CheckInto(mConn->db, "PRAGMA integrity_check", add);
                std::string besideReport;
                std::thread beside([&] { besideReport = CheckApart(apart); });
                try {
                    for (const std::string& table : tables)
                        if (table != apart)
                            CheckInto(mConn->db, "PRAGMA integrity_check(" + Quote(table) + ")", add);
                } catch (...) {
                    beside.join();
                    throw;
                }
                beside.join();
                if (!besideReport.empty()) add(besideReport);
            });
        } catch (const EngineError& e) {
            if (e.Number() == 3059) throw;
            add(e.Description());
        }
        return report;
    }

private:
    // Runs a check statement on `db` and hands on every line that is not "ok".
    template <class Add> void CheckInto(sqlite3* db, const std::string& sql, Add&& add) {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                const char* line = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
                if (line && std::string(line) != "ok") add(std::string(line));
            }
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) RaiseSqlite(db, rc, mConn->path);
    }

    // The check of one table on a read-only connection of its own (SQLite's own file layer:
    // it only reads). The report, or the reason it could not run.
    std::string CheckApart(const std::string& table) {
        std::string report;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(PlainPath(mConn->path).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            report = db ? sqlite3_errmsg(db) : "out of memory";
        } else {
            RegisterCollation(db);
            try {
                CheckInto(db, "PRAGMA integrity_check(" + Quote(table) + ")",
                          [&](const std::string& line) { report += (report.empty() ? "" : "\n") + line; });
            } catch (const EngineError& e) {
                report += (report.empty() ? "" : "\n") + e.Description();
            }
        }
        sqlite3_close_v2(db);
        return report;
    }

    void StepOnce(sqlite3_stmt* st) {
        const int rc = sqlite3_step(st);
        sqlite3_reset(st);
        if (rc != SQLITE_DONE) RaiseSqlite(mConn->db, rc, mConn->path);
    }

    static int RowidKeyField(const TableDef& def) {
        for (const Index& ix : def.Indexes) {
            if (!ix.Primary || ix.Fields.size() != 1 || (ix.Fields[0].Attributes & dbDescending)) continue;
            for (size_t i = 0; i < def.Fields.size(); ++i)
                if (SameName(def.Fields[i].Name, ix.Fields[0].Name) && def.Fields[i].Type == dbLong)
                    return static_cast<int>(i);
        }
        return -1;
    }

    void PurgeCatalog() {
        for (const char* t : {"_k5_fields", "_k5_indexes", "_k5_index_fields"})
            mConn->Exec(std::string("DELETE FROM ") + t +
                        " WHERE tbl NOT IN (SELECT name FROM sqlite_schema WHERE type = 'table')");
    }

    TableDef Validate(const TableDef& input) {
        TableDef def = input;
        if (def.Name.empty() || IsInternalName(def.Name)) Raise(3125, InvalidNameText(def.Name));
        if (!ResolveTable(*mConn, def.Name).empty())
            Raise(3010, "Таблица '" + def.Name + "' уже существует.");
        if (def.Fields.empty())
            Raise(3264, "Поля не определены — невозможно добавить объект TableDef или Index.");
        for (size_t i = 0; i < def.Fields.size(); ++i) {
            Field& f = def.Fields[i];
            if (f.Name.empty()) Raise(3125, InvalidNameText(f.Name));
            for (size_t k = 0; k < i; ++k)
                if (SameName(def.Fields[k].Name, f.Name))
                    Raise(3191, "Не удается определить поле '" + f.Name + "' более одного раза.");
            if (!IsKnownType(f.Type)) Raise(3259, "Недопустимый тип данных поля.");
            if ((f.Attributes & dbAutoIncrField) && f.Type != dbLong)
                Raise(3259, "Недопустимый тип данных поля.");
            if (f.Type == dbText || f.Type == dbBinary) {
                if (f.Size == 0) f.Size = f.Type == dbText ? 50 : 255;
                if (f.Size < 1 || f.Size > 255) Raise(3259, "Недопустимый тип данных поля.");
            } else {
                f.Size = FixedSize(f.Type);
            }
            if (!IsNull(f.DefaultValue)) f.DefaultValue = DefaultText(f.DefaultValue);
        }
        bool primarySeen = false;
        for (size_t i = 0; i < def.Indexes.size(); ++i) {
            const Index& ix = def.Indexes[i];
            if (ix.Name.empty()) Raise(3125, InvalidNameText(ix.Name));
            for (size_t k = 0; k < i; ++k)
                if (SameName(def.Indexes[k].Name, ix.Name))
                    Raise(3284, "Индекс '" + ix.Name + "' уже существует.");
            if (ix.Fields.empty())
                Raise(3264, "Поля не определены — невозможно добавить объект TableDef или Index.");
            if (ix.Primary && primarySeen) Raise(3283, "Основной ключ уже существует.");
            primarySeen = primarySeen || ix.Primary;
            for (auto& xf : ix.Fields)
                if (std::none_of(def.Fields.begin(), def.Fields.end(),
                                 [&](const Field& f) { return SameName(f.Name, xf.Name); }))
                    Raise(3265, TextNotFoundItem());
        }
        return def;
    }

    std::shared_ptr<Connection> mConn;
    int64_t mAffected = 0;
};

} // namespace

namespace detail {
std::unique_ptr<Database> MakeDatabase(std::shared_ptr<Connection> conn) {
    if (conn->salvageOnly) return MakeSalvageDatabase(std::move(conn));
    return std::make_unique<SqliteDatabase>(std::move(conn));
}
} // namespace detail

} // namespace k5::db
