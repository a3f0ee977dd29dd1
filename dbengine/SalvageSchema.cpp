// The tables of a damaged file and their definitions, read from its pages: the schema table,
// the CREATE TABLE texts and the engine's catalogue, each checked against the others.
#include "dbengine/EngineInternal.h"
#include "dbengine/Salvage.h"

#include <algorithm>
#include <cctype>

namespace k5::db::detail {

namespace {

struct ParsedColumn {
    std::string name, type;
    bool notNull = false;
    bool primaryKey = false;
};

// The columns of a CREATE TABLE text; false when the text is not one (a damaged text).
bool ParseCreateTable(const std::string& sql, std::vector<ParsedColumn>& columns, int& rowidColumn) {
    // Tokens: quoted names, words, numbers and single punctuation characters.
    std::vector<std::pair<std::string, bool>> tokens; // text, quoted
    for (size_t i = 0; i < sql.size();) {
        const char ch = sql[i];
        if (std::isspace(static_cast<unsigned char>(ch))) {
            ++i;
        } else if (ch == '"' || ch == '[' || ch == '`' || ch == '\'') {
            const char close = ch == '[' ? ']' : ch;
            std::string text;
            size_t j = i + 1;
            for (; j < sql.size(); ++j) {
                if (sql[j] == close) {
                    if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
                        text += close;
                        ++j;
                        continue;
                    }
                    break;
                }
                text += sql[j];
            }
            if (j >= sql.size()) return false;
            tokens.emplace_back(text, true);
            i = j + 1;
        } else if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || (ch & 0x80)) {
            size_t j = i;
            while (j < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[j])) || sql[j] == '_' ||
                                      (sql[j] & 0x80)))
                ++j;
            tokens.emplace_back(sql.substr(i, j - i), false);
            i = j;
        } else {
            tokens.emplace_back(std::string(1, ch), false);
            ++i;
        }
    }
    auto word = [&](size_t i) { return i < tokens.size() && !tokens[i].second ? Upper(tokens[i].first) : ""; };
    size_t i = 0;
    if (word(i++) != "CREATE") return false;
    if (word(i) == "TEMP" || word(i) == "TEMPORARY") ++i;
    if (word(i++) != "TABLE") return false;
    if (word(i) == "IF") i += 3;
    if (i + 1 < tokens.size() && tokens[i + 1].first == "." && !tokens[i + 1].second) i += 2;
    ++i; // the table's name
    if (i >= tokens.size() || tokens[i].first != "(" || tokens[i].second) return false;
    ++i;
    columns.clear();
    std::vector<std::string> tableKey;
    static const char* const kConstraintWords[] = {"CONSTRAINT", "PRIMARY", "NOT",     "NULL",       "UNIQUE",
                                                   "CHECK",      "DEFAULT", "COLLATE", "REFERENCES", "GENERATED",
                                                   "AS"};
    auto isConstraint = [&](const std::string& w) {
        return std::find(std::begin(kConstraintWords), std::end(kConstraintWords), w) != std::end(kConstraintWords);
    };
    bool closed = false;
    while (i < tokens.size() && !closed) {
        // One column or table constraint, up to the comma or the closing parenthesis.
        size_t end = i;
        int depth = 0;
        for (; end < tokens.size(); ++end) {
            const auto& [text, quoted] = tokens[end];
            if (quoted) continue;
            if (text == "(") ++depth;
            if (text == ")" && depth-- == 0) {
                closed = true;
                break;
            }
            if (text == "," && depth == 0) break;
        }
        if (end >= tokens.size() || end == i) return false;
        const std::string first = word(i);
        if (first == "CONSTRAINT" || first == "PRIMARY" || first == "UNIQUE" || first == "CHECK" ||
            first == "FOREIGN") {
            if (first == "PRIMARY")
                for (size_t k = i; k < end; ++k)
                    if (tokens[k].second || (std::isalpha(static_cast<unsigned char>(tokens[k].first[0])) &&
                                             word(k) != "PRIMARY" && word(k) != "KEY" && word(k) != "ASC" &&
                                             word(k) != "DESC"))
                        tableKey.push_back(tokens[k].first);
        } else {
            ParsedColumn col;
            col.name = tokens[i].first;
            size_t k = i + 1;
            for (; k < end && !isConstraint(word(k)); ++k)
                col.type += (col.type.empty() ? "" : " ") + tokens[k].first;
            for (; k < end; ++k) {
                if (word(k) == "NOT" && word(k + 1) == "NULL") col.notNull = true;
                if (word(k) == "PRIMARY" && word(k + 1) == "KEY") col.primaryKey = true;
            }
            columns.push_back(std::move(col));
        }
        i = end + 1;
    }
    if (!closed || columns.empty()) return false;
    for (size_t k = i; k < tokens.size(); ++k)
        if (word(k) == "WITHOUT") return false; // no rowids: not a table of rows we can read
    int keys = 0;
    rowidColumn = -1;
    for (size_t c = 0; c < columns.size(); ++c) {
        bool key = columns[c].primaryKey;
        for (auto& k : tableKey)
            key = key || SameName(k, columns[c].name);
        if (!key) continue;
        ++keys;
        if (Upper(columns[c].type) == "INTEGER") rowidColumn = static_cast<int>(c);
    }
    if (keys != 1) rowidColumn = -1;
    return true;
}

uint8_t ClassesOf(int type) {
    constexpr uint8_t null = 1 << kClassNull, integer = 1 << kClassInteger;
    switch (type) {
    case dbBoolean:
    case dbByte:
    case dbInteger:
    case dbLong:
    case dbCurrency:
        return null | integer;
    case dbSingle:
    case dbDouble:
    case dbDate:
        return null | integer | (1 << kClassFloat);
    case dbText:
    case dbMemo:
        return null | (1 << kClassText);
    case dbBinary:
    case dbLongBinary:
    case dbGUID:
        return null | (1 << kClassBlob);
    default:
        return 0xff;
    }
}

// Definition and shape from the declared columns alone.
void FromColumns(SalvagedTable& t, const std::vector<ParsedColumn>& columns, int rowidColumn) {
    t.columns = static_cast<int>(columns.size());
    t.shape.assign(columns.size(), 0xff);
    t.def.Fields.clear();
    t.column.clear();
    for (size_t c = 0; c < columns.size(); ++c) {
        t.def.Fields.push_back(FieldFromDeclared(columns[c].name, columns[c].type, columns[c].notNull));
        t.column.push_back(static_cast<int>(c));
        t.shape[c] = ClassesOf(t.def.Fields.back().Type);
    }
    t.rowidField = rowidColumn;
    // The rowid column's record value is always null: the rowid stands in for it.
    if (rowidColumn >= 0) t.shape[size_t(rowidColumn)] = 1 << kClassNull;
}

int AsInt(const Value& v) {
    if (auto i = std::get_if<int32_t>(&v)) return *i;
    return -1;
}

std::string AsText(const Value& v) {
    if (auto s = std::get_if<std::string>(&v)) return *s;
    return {};
}

} // namespace

bool CatalogTypeFits(int catalogType, const std::string& declaredType) {
    return FieldFromDeclared("", declaredType, false).Type == catalogType;
}

bool FileSalvage::LooksLikeDatabase() {
    std::vector<uint8_t> page;
    if (!mPages.Read(1, page)) return false;
    if (page[100] == kTableLeaf || page[100] == kTableInterior) return true;
    // A lost first page leaves the schema's other leaves, which tell a database by their rows.
    const std::vector<uint8_t> claimed(size_t(mPages.PageCount()) + 1, 0);
    return !SchemaLeaves(claimed).empty();
}

std::vector<std::vector<Value>> FileSalvage::ReadAll(const SalvagedTable& table) {
    // The schema is read before the tables are known, so it has a rescue of its own.
    TablePlan plan = table.root == 1 ? SchemaPlan(table) : Walk(table);
    if (!plan.clean && table.root != 1) plan = Rescue(table);
    PlanCursor cursor(mPages, table, std::move(plan));
    std::vector<std::vector<Value>> rows;
    while (cursor.Next()) {
        if (cursor.Damaged()) continue;
        std::vector<Value> row(table.def.Fields.size());
        bool ok = true;
        for (size_t f = 0; f < row.size() && ok; ++f)
            ok = cursor.Value(f, row[f]);
        if (ok) rows.push_back(std::move(row));
    }
    return rows;
}

void FileSalvage::LoadTables() {
    if (mTablesLoaded) return;
    mTablesLoaded = true;
    SalvagedTable schema;
    schema.name = "sqlite_schema";
    schema.root = 1;
    int rowid = -1;
    std::vector<ParsedColumn> columns;
    ParseCreateTable("CREATE TABLE x(type TEXT, name TEXT, tbl_name TEXT, rootpage INTEGER, sql TEXT)", columns,
                     rowid);
    FromColumns(schema, columns, -1);
    // Table definitions are read in schema order, which is the order of creation.
    for (auto& row : ReadAll(schema)) {
        if (AsText(row[0]) != "table") continue;
        SalvagedTable t;
        t.name = AsText(row[1]);
        if (t.name.empty()) continue;
        t.root = static_cast<uint32_t>(std::max(0, AsInt(row[3])));
        t.def.Name = t.name;
        if (ParseCreateTable(AsText(row[4]), columns, rowid))
            FromColumns(t, columns, rowid);
        else
            t.damage = "текст определения таблицы не читается";
        mTables.push_back(std::move(t));
    }
    // The catalogue's own layout is the engine's, whatever its stored text says.
    for (const char* ddl : kCatalogTables) {
        const std::string text = ddl;
        const std::string name = text.substr(0, text.find('('));
        for (SalvagedTable& t : mTables)
            if (t.name == name && ParseCreateTable("CREATE TABLE " + text, columns, rowid)) {
                FromColumns(t, columns, rowid);
                t.damage.clear();
            }
    }
}

void FileSalvage::LoadDefinitions() {
    LoadTables();
    if (mDefinitionsLoaded) return;
    mDefinitionsLoaded = true;
    auto rowsOf = [&](const char* name) {
        for (const SalvagedTable& t : mTables)
            if (t.name == name) return ReadAll(t);
        return std::vector<std::vector<Value>>{};
    };
    for (auto& row : rowsOf("_k5_meta"))
        mMeta[AsText(row[0])] = AsText(row[1]);
    const auto fields = rowsOf("_k5_fields");
    const auto indexes = rowsOf("_k5_indexes");
    const auto indexFields = rowsOf("_k5_index_fields");

    // Tables the catalogue describes but whose schema row is lost: their leaves may be found.
    for (auto& row : fields) {
        const std::string tbl = AsText(row[0]);
        if (tbl.empty() || IsInternalName(tbl)) continue;
        if (std::none_of(mTables.begin(), mTables.end(), [&](const SalvagedTable& t) { return t.name == tbl; })) {
            SalvagedTable t;
            t.name = t.def.Name = tbl;
            t.damage = "запись таблицы в схеме базы данных не читается";
            mTables.push_back(std::move(t));
        }
    }

    for (SalvagedTable& t : mTables) {
        if (IsInternalName(t.name)) continue;
        std::vector<std::pair<int, const std::vector<Value>*>> rows; // pos, catalogue row
        for (auto& row : fields)
            if (AsText(row[0]) == t.name) rows.emplace_back(AsInt(row[1]), &row);
        std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.first < b.first; });
        auto catalogField = [&](const std::vector<Value>& r) {
            Field f;
            f.Name = AsText(r[2]);
            f.Type = AsInt(r[3]);
            f.Size = AsInt(r[4]);
            f.Attributes = AsInt(r[5]);
            f.AllowZeroLength = AsInt(r[6]) != 0;
            f.Required = AsInt(r[7]) != 0;
            if (!IsNull(r[8])) f.DefaultValue = AsText(r[8]);
            return f;
        };
        if (t.columns > 0) {
            // The declared columns say where each value lies; the catalogue what each field is.
            const TableDef declared = t.def;
            const std::vector<int> declaredColumn = t.column;
            const int rowidColumn = t.rowidField;
            std::vector<bool> used(declared.Fields.size(), false);
            t.def.Fields.clear();
            t.column.clear();
            t.rowidField = -1;
            for (auto& [pos, r] : rows) {
                Field f = catalogField(*r);
                size_t c = 0;
                while (c < declared.Fields.size() && (used[c] || !SameName(declared.Fields[c].Name, f.Name)))
                    ++c;
                if (c == declared.Fields.size()) continue;
                used[c] = true;
                f.Name = declared.Fields[c].Name;
                if (f.Type != declared.Fields[c].Type) {
                    t.damage += (t.damage.empty() ? "" : "; ") + ("неверный тип поля '" + f.Name + "' в каталоге");
                    f = declared.Fields[c];
                }
                if (static_cast<int>(c) == rowidColumn) t.rowidField = static_cast<int>(t.def.Fields.size());
                t.def.Fields.push_back(f);
                t.column.push_back(declaredColumn[c]);
            }
            for (size_t c = 0; c < declared.Fields.size(); ++c) {
                if (used[c]) continue;
                if (!rows.empty())
                    t.damage += (t.damage.empty() ? "" : "; ") +
                                ("поле '" + declared.Fields[c].Name + "' отсутствует в каталоге");
                if (static_cast<int>(c) == rowidColumn) t.rowidField = static_cast<int>(t.def.Fields.size());
                t.def.Fields.push_back(declared.Fields[c]);
                t.column.push_back(declaredColumn[c]);
            }
            continue;
        }
        // No readable CREATE text: the catalogue alone, its fields in the order of the columns.
        if (rows.empty()) continue;
        std::string keyField;
        for (auto& ix : indexes)
            if (AsText(ix[0]) == t.name && AsInt(ix[4]) != 0 && AsText(ix[3]).empty())
                for (auto& xf : indexFields)
                    if (AsText(xf[0]) == t.name && AsInt(xf[1]) == AsInt(ix[1])) keyField = AsText(xf[3]);
        t.columns = static_cast<int>(rows.size());
        t.shape.assign(rows.size(), 0xff);
        for (auto& [pos, r] : rows) {
            Field f = catalogField(*r);
            const size_t c = t.def.Fields.size();
            if (!keyField.empty() && SameName(f.Name, keyField)) {
                t.rowidField = static_cast<int>(c);
                t.shape[c] = 1 << kClassNull;
            } else {
                t.shape[c] = ClassesOf(f.Type);
            }
            t.def.Fields.push_back(std::move(f));
            t.column.push_back(static_cast<int>(c));
        }
    }
}

std::vector<std::string> FileSalvage::TableNames() {
    LoadDefinitions();
    std::vector<std::string> names;
    for (const SalvagedTable& t : mTables)
        if (!IsInternalName(t.name)) names.push_back(t.name);
    return names;
}

const SalvagedTable* FileSalvage::Find(const std::string& name) {
    LoadDefinitions();
    for (const SalvagedTable& t : mTables)
        if (!IsInternalName(t.name) && SameName(t.name, name)) return &t;
    return nullptr;
}

std::string FileSalvage::Meta(const std::string& key) {
    LoadDefinitions();
    auto it = mMeta.find(key);
    return it == mMeta.end() ? std::string() : it->second;
}

} // namespace k5::db::detail
