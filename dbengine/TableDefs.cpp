// The catalogue: the table list, table definitions and the index builds it still owes.
#include "dbengine/EngineInternal.h"

#include <algorithm>
#include <tuple>

namespace k5::db::detail {

void Connection::EnsureCatalog() {
    if (hasCatalog) return;
    for (const char* ddl : kCatalogTables)
        Exec(std::string("CREATE TABLE IF NOT EXISTS ") + ddl);
    hasCatalog = true;
}

// ---- Table list and definitions ----

std::vector<std::string> ListTables(Connection& c) {
    std::vector<std::string> names;
    sqlite3_stmt* st =
        c.Prepare("SELECT name FROM sqlite_schema WHERE type = 'table'"
                  " AND lower(substr(name, 1, 7)) <> 'sqlite_' AND lower(substr(name, 1, 4)) <> '_k5_'"
                  " ORDER BY rowid");
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) RaiseSqlite(c.db, rc, c.path);
    return names;
}

std::string ResolveTable(Connection& c, const std::string& name) {
    for (auto& n : ListTables(c))
        if (SameName(n, name)) return n;
    return {};
}

namespace {

struct Stmt {
    sqlite3_stmt* st = nullptr;
    Connection& c;
    Stmt(Connection& conn, const std::string& sql) : c(conn) { st = c.Prepare(sql); }
    ~Stmt() { sqlite3_finalize(st); }
    bool Step() {
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) RaiseSqlite(c.db, rc, c.path);
        return false;
    }
    std::string Text(int i) {
        auto p = sqlite3_column_text(st, i);
        return p ? reinterpret_cast<const char*>(p) : "";
    }
    int Int(int i) { return sqlite3_column_int(st, i); }
    void Bind(int i, const std::string& s) {
        sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
};

} // namespace

TableDef LoadTableDef(Connection& c, const std::string& stored) {
    TableDef def;
    def.Name = stored;
    struct Column {
        std::string name, type;
        bool notNull;
        bool used = false;
    };
    std::vector<Column> columns;
    {
        Stmt s(c, "SELECT name, type, \"notnull\" FROM pragma_table_info(?1)");
        s.Bind(1, stored);
        while (s.Step())
            columns.push_back({s.Text(0), s.Text(1), s.Int(2) != 0});
    }
    auto findColumn = [&](const std::string& n) -> Column* {
        for (auto& col : columns)
            if (SameName(col.name, n)) return &col;
        return nullptr;
    };
    std::vector<std::string> catalogIndexNames;
    if (c.hasCatalog) {
        Stmt s(c, "SELECT name, type, size, attributes, allow_zero_length, required, default_value"
                  " FROM _k5_fields WHERE tbl = ?1 ORDER BY pos");
        s.Bind(1, stored);
        while (s.Step()) {
            Column* col = findColumn(s.Text(0));
            if (!col || col->used) continue; // dropped by SQL meanwhile
            col->used = true;
            Field f;
            f.Name = col->name;
            f.Type = s.Int(1);
            f.Size = s.Int(2);
            f.Attributes = s.Int(3);
            f.AllowZeroLength = s.Int(4) != 0;
            f.Required = s.Int(5) != 0;
            if (sqlite3_column_type(s.st, 6) != SQLITE_NULL) f.DefaultValue = s.Text(6);
            // A damaged catalogue type must not make every value of the column unreadable:
            // the declared type of the column stands in for it.
            if (!IsKnownType(f.Type) || !CatalogTypeFits(f.Type, col->type))
                f = FieldFromDeclared(col->name, col->type, col->notNull);
            def.Fields.push_back(std::move(f));
        }
    }
    for (auto& col : columns)
        if (!col.used) def.Fields.push_back(FieldFromDeclared(col.name, col.type, col.notNull));

    if (c.hasCatalog) {
        std::vector<std::pair<int, Index>> indexes;
        {
            Stmt s(c, "SELECT pos, name, sql_name, is_primary, is_unique, ignore_nulls FROM _k5_indexes"
                      " WHERE tbl = ?1 ORDER BY pos");
            s.Bind(1, stored);
            while (s.Step()) {
                Index ix;
                ix.Name = s.Text(1);
                ix.Primary = s.Int(3) != 0;
                ix.Unique = s.Int(4) != 0;
                ix.IgnoreNulls = s.Int(5) != 0;
                catalogIndexNames.push_back(s.Text(2));
                indexes.emplace_back(s.Int(0), std::move(ix));
            }
        }
        Stmt s(c, "SELECT index_pos, name, attributes FROM _k5_index_fields WHERE tbl = ?1 ORDER BY "
                  "index_pos, pos");
        s.Bind(1, stored);
        while (s.Step())
            for (auto& [pos, ix] : indexes)
                if (pos == s.Int(0)) ix.Fields.push_back(IndexField{s.Text(1), s.Int(2)});
        for (auto& [pos, ix] : indexes)
            def.Indexes.push_back(std::move(ix));
    }
    // Indexes made by SQL statements.
    std::vector<std::tuple<std::string, bool, std::string>> extra;
    {
        Stmt s(c, "SELECT name, \"unique\", origin FROM pragma_index_list(?1) ORDER BY seq DESC");
        s.Bind(1, stored);
        while (s.Step()) {
            const std::string n = s.Text(0);
            if (std::find(catalogIndexNames.begin(), catalogIndexNames.end(), n) == catalogIndexNames.end())
                extra.emplace_back(n, s.Int(1) != 0, s.Text(2));
        }
    }
    for (auto& [name, unique, origin] : extra) {
        Index ix;
        ix.Name = name;
        ix.Unique = unique;
        ix.Primary = origin == "pk";
        Stmt s(c, "SELECT name, \"desc\" FROM pragma_index_xinfo(?1) WHERE key = 1 ORDER BY seqno");
        s.Bind(1, name);
        while (s.Step())
            ix.Fields.push_back(IndexField{s.Text(0), s.Int(1) ? dbDescending : 0});
        def.Indexes.push_back(std::move(ix));
    }
    return def;
}

void Connection::BuildPendingIndexes(const std::string& onlyTable, bool uniqueOnly) {
    if (readOnly || !hasCatalog) return;
    std::vector<std::tuple<std::string, std::string, std::string>> pending; // table, index, sql name
    {
        Stmt s(*this, std::string("SELECT tbl, name, sql_name FROM _k5_indexes i WHERE ") + kPendingIndex +
                          " AND (?1 = '' OR tbl = ?1) AND (?2 = 0 OR is_primary <> 0 OR is_unique <> 0)"
                          " ORDER BY tbl, pos");
        s.Bind(1, onlyTable);
        sqlite3_bind_int(s.st, 2, uniqueOnly ? 1 : 0);
        while (s.Step())
            pending.emplace_back(s.Text(0), s.Text(1), s.Text(2));
    }
    if (pending.empty()) return;
    std::string table;
    TableDef def;
    // Once its indexes are built after the rows, a table gets statistics for the query planner:
    // without them it may pick a range over an equality on the same index (a correlated count
    // of the clean-up then reads the whole index for every outer row: minutes instead of
    // milliseconds). Sampled (analysis_limit), so it costs milliseconds even on millions of rows.
    auto analyze = [&] {
        if (!table.empty() && !uniqueOnly) Exec("ANALYZE " + Quote(table));
    };
    for (auto& [tbl, name, sqlName] : pending) {
        if (tbl != table) {
            analyze();
            def = LoadTableDef(*this, tbl);
            table = tbl;
        }
        for (auto& ix : def.Indexes) {
            if (ix.Name != name) continue;
            std::string sql = std::string("CREATE ") + ((ix.Primary || ix.Unique) ? "UNIQUE " : "") +
                              "INDEX " + Quote(sqlName) + " ON " + Quote(tbl) + " (";
            std::string where;
            for (size_t i = 0; i < ix.Fields.size(); ++i) {
                sql += (i ? ", " : "") + Quote(ix.Fields[i].Name) +
                       ((ix.Fields[i].Attributes & dbDescending) ? " DESC" : "");
                where += (i ? " OR " : "") + Quote(ix.Fields[i].Name) + " IS NOT NULL";
            }
            sql += ")";
            if (ix.IgnoreNulls && !ix.Primary) sql += " WHERE " + where;
            Exec(sql);
            break;
        }
    }
    analyze();
}

} // namespace k5::db::detail
