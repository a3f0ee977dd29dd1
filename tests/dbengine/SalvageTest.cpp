// Damaged files read through table-type recordsets: every row on a readable page comes back
// once, in rowid order, with its own values; the count is exact; no row lands in another
// table; a damaged schema or catalogue costs only what it damages.
#include "EngineTestUtil.h"

#include <filesystem>
#include <functional>
#include <map>
#include <set>

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

namespace {

namespace fs = std::filesystem;
constexpr int64_t kPage = 4096;

struct PageInfo {
    std::string table, type;
    int64_t page = 0;
};

// A file with three tables: A and C of one shape (rows marked "a" and "c"), B of another.
// A is large enough for a tree of three levels; the text of each row carries its key, so the
// rows a page holds can be told from its bytes.
struct Fixture {
    std::string bytes;
    std::vector<PageInfo> pages;
    std::map<std::string, std::map<int32_t, std::vector<Value>>> rows; // table -> key -> values

    std::vector<int64_t> Pages(const std::string& table, const std::string& type) const {
        std::vector<int64_t> out;
        for (const PageInfo& p : pages)
            if (p.table == table && p.type == type) out.push_back(p.page);
        return out;
    }
    int64_t Root(const std::string& table) const {
        for (const PageInfo& p : pages)
            if (p.table == table && p.type == "root") return p.page;
        return 0;
    }
    // The keys of `table` whose marker stands on page `page`.
    std::set<int32_t> KeysOn(const std::string& table, int64_t page) const {
        std::set<int32_t> keys;
        const std::string_view body(bytes.data() + (page - 1) * kPage, kPage);
        const char mark = static_cast<char>(std::tolower(table[0]));
        for (size_t at = body.find(mark); at != std::string_view::npos; at = body.find(mark, at + 1))
            if (at + 9 <= body.size() && body[at + 8] == ';' &&
                std::all_of(body.begin() + long(at) + 1, body.begin() + long(at) + 8, ::isdigit))
                keys.insert(std::stoi(std::string(body.substr(at + 1, 7))));
        return keys;
    }
};

std::string Key(char mark, int id) {
    char text[16];
    std::snprintf(text, sizeof text, "%c%07d;", mark, id);
    return text;
}

const Fixture& Base() {
    static const Fixture fixture = [] {
        Fixture f;
        ScratchDir dir;
        const std::string path = dir.File("base.mdb");
        {
            auto db = NewDb(path);
            for (const char* name : {"A", "B", "C"}) {
                TableDef t = db->CreateTableDef(name);
                t.Fields = {t.CreateField("Id", dbLong), t.CreateField("Name", dbText, 120)};
                if (name[0] == 'B') {
                    t.Fields.push_back(t.CreateField("Qty", dbLong));
                    t.Fields.push_back(t.CreateField("Note", dbMemo));
                } else {
                    t.Fields.push_back(t.CreateField("Amount", dbDouble));
                }
                t.Indexes = {Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true},
                             Index{.Name = "ByName", .Fields = {{"Name"}}}};
                db->AppendTableDef(t);
            }
            // Keys with holes (every third) so that rowids are not simply positions.
            db->Execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 40000) "
                        "INSERT INTO A SELECT x * 3, printf('a%07d;', x * 3) || substr(hex(randomblob(40)), x % 20), "
                        "x / 7.0 FROM c");
            db->Execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3000) "
                        "INSERT INTO B SELECT x, printf('b%07d;', x), x * 2, 'note ' || x FROM c");
            db->Execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3000) "
                        "INSERT INTO C SELECT x * 3, printf('c%07d;', x * 3) || 'cccccccccccccccccccccccccccc', "
                        "x / 7.0 FROM c");
            auto rs = db->OpenRecordset("SELECT name, pageno, pagetype, path FROM dbstat");
            for (; !rs->IsEOF(); rs->MoveNext()) {
                const std::string path = VarToStr(rs->GetValue(3), "");
                f.pages.push_back({VarToStr(rs->GetValue(0), ""), path == "/" ? "root" : VarToStr(rs->GetValue(2), ""),
                                   VarToLng(rs->GetValue(1), 0)});
            }
            for (const char* name : {"A", "B", "C"})
                for (auto t = db->OpenRecordset(name, dbOpenTable); !t->IsEOF(); t->MoveNext()) {
                    std::vector<Value> values;
                    for (int i = 0; i < t->FieldCount(); ++i)
                        values.push_back(t->GetValue(i));
                    f.rows[name][VarToLng(t->GetValue(0), 0)] = values;
                }
        }
        std::ifstream in(path, std::ios::binary);
        f.bytes.assign(std::istreambuf_iterator<char>(in), {});
        return f;
    }();
    return fixture;
}

// What a table's recordset delivered.
struct Read {
    int64_t count = 0, visited = 0, damaged = 0;
    std::vector<int32_t> keys;         // readable rows in order
    std::map<int32_t, std::vector<Value>> values;
    std::string definitionDamage;
};

Read ReadTable(Database& db, const std::string& table) {
    Read r;
    auto rs = db.OpenRecordset(table, dbOpenTable);
    r.count = rs->RecordCount();
    r.definitionDamage = rs->DefinitionDamage();
    for (; !rs->IsEOF() && r.visited <= r.count + 10; rs->MoveNext()) {
        ++r.visited;
        std::vector<Value> values;
        try {
            for (int i = 0; i < rs->FieldCount(); ++i)
                values.push_back(rs->GetValue(i));
        } catch (const EngineError& e) {
            EXPECT_EQ(e.Number(), 3049) << e.Description();
            ++r.damaged;
            continue;
        }
        const auto key = static_cast<int32_t>(VarToLng(rs->GetValue(0), 0));
        r.keys.push_back(key);
        r.values[key] = values;
    }
    return r;
}

// Checks one table of a damaged copy against the undamaged file: every row of `intact` is
// read with its own values, nothing else but rows of this table, each once, in order.
void ExpectSalvaged(const Read& r, const std::string& table, const std::set<int32_t>& intact, bool lost) {
    SCOPED_TRACE("table " + table);
    const auto& original = Base().rows.at(table);
    EXPECT_EQ(r.count, r.visited) << "the count differs from the rows delivered";
    EXPECT_TRUE(std::is_sorted(r.keys.begin(), r.keys.end()) &&
                std::adjacent_find(r.keys.begin(), r.keys.end()) == r.keys.end())
        << "rows out of order or twice";
    int missing = 0;
    for (int32_t key : intact)
        missing += !r.values.contains(key);
    EXPECT_EQ(missing, 0) << "rows on intact pages were not delivered";
    for (const auto& [key, values] : r.values) {
        auto it = original.find(key);
        ASSERT_TRUE(it != original.end()) << "a row that is not this table's: " << key;
        EXPECT_TRUE(values == it->second) << "row " << key << " changed";
    }
    if (lost) EXPECT_GT(r.damaged, 0) << "rows were lost without a damaged row";
}

std::set<int32_t> AllKeys(const std::string& table) {
    std::set<int32_t> keys;
    for (const auto& [key, values] : Base().rows.at(table))
        keys.insert(key);
    return keys;
}

struct Damage {
    const char* name;
    // Changes the bytes; returns the pages whose rows may be lost.
    std::function<std::vector<int64_t>(std::string&)> apply;
};

char* PageAt(std::string& bytes, int64_t page) { return bytes.data() + (page - 1) * kPage; }

// Fills the first `n` bytes of `page` with `c`.
void Fill(std::string& bytes, int64_t page, int64_t n, char c = '\0') { std::fill_n(PageAt(bytes, page), n, c); }

TEST(Salvage, EveryRowOnAReadablePageComesBackOnce) {
    const Fixture& base = Base();
    const auto leaves = base.Pages("A", "leaf");
    const auto interior = base.Pages("A", "internal");
    ASSERT_GT(leaves.size(), 600u);
    ASSERT_GT(interior.size(), 1u) << "the tree of A has only two levels";
    const int64_t midLeaf = leaves[leaves.size() / 2], root = base.Root("A");
    using Pages = std::vector<int64_t>;
    const std::vector<Damage> cases = {
        {"8 bytes of a leaf header zeroed", [&](std::string& b) { return Fill(b, midLeaf, 8), Pages{midLeaf}; }},
        {"a leaf zeroed", [&](std::string& b) { return Fill(b, leaves[3], kPage), Pages{leaves[3]}; }},
        {"the root's header garbage", [&](std::string& b) { return Fill(b, root, 12, '\x5a'), Pages{}; }},
        {"an interior page zeroed", [&](std::string& b) { return Fill(b, interior[0], kPage), Pages{}; }},
        {"a child pointer of the root aimed at the root",
         [&](std::string& b) {
             char* page = PageAt(b, root);
             const int first = (uint8_t(page[12]) << 8) | uint8_t(page[13]);
             for (int i = 0; i < 4; ++i)
                 page[first + i] = static_cast<char>(uint32_t(root) >> (24 - 8 * i));
             return Pages{};
         }},
        {"two cell headers overwritten",
         [&](std::string& b) {
             char* page = PageAt(b, leaves[10]);
             for (int k : {2, 5})
                 std::fill_n(page + ((uint8_t(page[8 + 2 * k]) << 8) | uint8_t(page[9 + 2 * k])), 3, '\xff');
             return Pages{leaves[10]};
         }},
        {"an index page zeroed",
         [&](std::string& b) {
             for (const PageInfo& p : base.pages)
                 if (p.table.starts_with("A_") || p.table.starts_with("sqlite_autoindex_A"))
                     return Fill(b, p.page, kPage), Pages{};
             return Pages{};
         }},
        {"the file truncated",
         [&](std::string& b) {
             const int64_t cut = leaves[leaves.size() * 2 / 3], pages = int64_t(b.size()) / kPage;
             b.resize(static_cast<size_t>((cut - 1) * kPage + 100));
             Pages lost;
             for (int64_t p = cut; p <= pages; ++p)
                 lost.push_back(p);
             return lost;
         }},
        {"the file header garbage",
         [&](std::string& b) { return std::fill(b.begin() + 16, b.begin() + 100, '\x77'), Pages{}; }},
    };
    ScratchDir dir;
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        std::string bytes = base.bytes;
        const std::vector<int64_t> lostPages = d.apply(bytes);
        const std::string path = dir.File(std::string("v") + std::to_string(&d - cases.data()) + ".mdb");
        std::ofstream(path, std::ios::binary) << bytes;
        auto db = OpenDb(path, true, true);
        for (const char* table : {"A", "B", "C"}) {
            std::set<int32_t> intact = AllKeys(table);
            const size_t all = intact.size();
            for (int64_t p : lostPages)
                for (int32_t key : base.KeysOn(table, p))
                    intact.erase(key);
            ExpectSalvaged(ReadTable(*db, table), table, intact, intact.size() < all);
        }
        db->Close();
        std::ifstream in(path, std::ios::binary);
        EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == bytes) << "the file was written";
    }
}

// Two tables of one shape lose their roots: their leaves match both, so neither gets them.
// A leaf of a table of another shape still finds its own table.
TEST(Salvage, LostLeavesNeverLandInAnotherTable) {
    const Fixture& base = Base();
    std::string bytes = base.bytes;
    for (const char* t : {"A", "B", "C"})
        Fill(bytes, base.Root(t), 12);
    ScratchDir dir;
    std::ofstream(dir.File("v.mdb"), std::ios::binary) << bytes;
    auto db = OpenDb(dir.File("v.mdb"), true, true);
    const Read a = ReadTable(*db, "A"), c = ReadTable(*db, "C");
    ExpectSalvaged(a, "A", {}, true);
    ExpectSalvaged(c, "C", {}, true);
    ExpectSalvaged(ReadTable(*db, "B"), "B", AllKeys("B"), false);
}

// Finds `pattern` once in the bytes; the offset of its first byte.
size_t Locate(const std::string& bytes, const std::string& pattern) {
    const size_t at = bytes.find(pattern);
    EXPECT_NE(at, std::string::npos) << "no such bytes in the file";
    EXPECT_EQ(bytes.find(pattern, at + 1), std::string::npos) << "the bytes stand twice";
    return at;
}

TEST(Salvage, DamagedDefinitionsCostOnlyWhatTheyDamage) {
    const Fixture& base = Base();
    ScratchDir dir;
    {
        // A bit of the type of B.Name in the field catalogue: text (10) reads as binary (11).
        std::string bytes = base.bytes;
        const size_t at = Locate(bytes, "BName\x0a");
        bytes[at + 5] = '\x0b';
        std::ofstream(dir.File("type.mdb"), std::ios::binary) << bytes;
        auto db = OpenDb(dir.File("type.mdb"), true, true);
        const Read b = ReadTable(*db, "B");
        ExpectSalvaged(b, "B", AllKeys("B"), false);
        EXPECT_EQ(b.damaged, 0);
        EXPECT_NE(b.definitionDamage.find("Name"), std::string::npos) << b.definitionDamage;
        EXPECT_EQ(ReadTable(*db, "A").definitionDamage, "");
    }
    {
        // One bit of C's CREATE text: SQLite refuses the whole file.
        std::string bytes = base.bytes;
        const size_t at = Locate(bytes, "CREATE TABLE \"C\"");
        bytes[at + 13] ^= 0x08; // the opening quote becomes '*'
        std::ofstream(dir.File("create.mdb"), std::ios::binary) << bytes;
        auto db = OpenDb(dir.File("create.mdb"), true, true);
        const auto names = db->TableNames();
        EXPECT_EQ(std::count(names.begin(), names.end(), "C"), 1);
        const Read c = ReadTable(*db, "C");
        ExpectSalvaged(c, "C", AllKeys("C"), false);
        EXPECT_NE(c.definitionDamage, "");
        ExpectSalvaged(ReadTable(*db, "A"), "A", AllKeys("A"), false);
        EXPECT_EQ(Catch([&] { db->Execute("DELETE FROM A"); }).Number() != 0, true);
    }
}

} // namespace
