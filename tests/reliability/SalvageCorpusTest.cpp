// A corpus of damaged main files, each run through a whole headless repair. For each variant
// the rows whose bytes the damage left alone (leaf header, pointer, cell and overflow pages)
// are known from the undamaged file; after the run they must all be in the repaired file with
// their own values, no row twice or in another table, every table that lost a row with a
// failure line, never an unexpected error, never a hang.
//   K5_CORPUS_VARIANTS=n  variants (default: a sample for every kind)
//   K5_CORPUS_SEED=s      first seed
//   K5_CORPUS_PEER=script a second salvager run on each variant (INPUT OUTPUT), for figures
#include "ReliabilityUtil.h"

#include "dbengine/FilePages.h"

#include <fcntl.h>
#include <numeric>
#include <random>

using namespace k5rel;
namespace pages = k5::db::detail;

namespace {

struct PageOf {
    std::string name, type; // owner (table or index), "internal" / "leaf" / "overflow"
    bool table = false, root = false;
};

struct RowPlace {
    std::string table;
    int64_t rowid = 0;
    std::vector<std::pair<int64_t, int64_t>> bytes; // file ranges the row depends on
};

// Where everything of the undamaged file lies.
struct Layout {
    int64_t pageSize = 4096, pageCount = 0;
    std::map<int64_t, PageOf> page;
    std::vector<RowPlace> rows;
    RowsById values;
    std::set<std::string> tables;
    // The bytes of each table's schema row (its name, root page and CREATE text).
    std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> schemaRow;

    std::vector<int64_t> Pages(const std::function<bool(const PageOf&)>& want) const {
        std::vector<int64_t> out;
        for (const auto& [no, p] : page)
            if (want(p)) out.push_back(no);
        return out;
    }
    bool Definition(int64_t no) const {
        auto it = page.find(no);
        return no == 1 || (it != page.end() && (it->second.name == "sqlite_schema" ||
                                               it->second.name.find("_k5_") != std::string::npos));
    }
};

Layout Locate(const std::string& path) {
    Layout l;
    l.values = ReadRowsById(path);
    const Db db(path);
    std::set<std::string> tableNames;
    for (const std::string& t : db.Column("SELECT name FROM sqlite_schema WHERE type = 'table'"))
        tableNames.insert(t);
    for (auto& [t, rows] : l.values)
        l.tables.insert(t);
    db.Each("SELECT name, pageno, pagetype, path = '/' FROM dbstat", [&](sqlite3_stmt* st) {
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        l.page[sqlite3_column_int64(st, 1)] =
            PageOf{name, reinterpret_cast<const char*>(sqlite3_column_text(st, 2)),
                   tableNames.contains(name) || name == "sqlite_schema", sqlite3_column_int(st, 3) == 1};
    });
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    pages::FilePages file(fd);
    l.pageSize = file.PageSize();
    l.pageCount = file.PageCount();
    std::vector<uint8_t> page;
    std::string record;
    std::vector<pages::StoredValue> values;
    // Each row, and each table's schema row, depends on its leaf's header, its cell pointer
    // and its cell (with the overflow chain of a data row).
    for (const auto& [no, p] : l.page) {
        const bool schema = p.name == "sqlite_schema";
        if (p.type != "leaf" || !(schema || (p.table && l.values.contains(p.name))) || !file.Read(uint32_t(no), page))
            continue;
        const int64_t base = (no - 1) * l.pageSize, hdr = pages::FilePages::HeaderOffset(uint32_t(no));
        for (uint32_t k = 0, cells = pages::Be16(page.data() + hdr + 3); k < cells; ++k) {
            auto cell = file.ParseLeafCell(page, uint32_t(no), k);
            if (!cell) continue;
            RowPlace row{p.name, cell->rowid,
                         {{base + hdr, base + hdr + 8},
                          {base + hdr + 8 + 2 * k, base + hdr + 10 + 2 * k},
                          {base + cell->start, base + cell->offset + cell->local + (cell->overflow && !schema ? 4 : 0)}}};
            if (schema) {
                if (file.Payload(page, *cell, record) && pages::DecodeRecord(record, values) && values.size() >= 2)
                    l.schemaRow[values[1].bytes] = row.bytes;
                continue;
            }
            std::vector<uint8_t> over;
            for (uint32_t next = cell->overflow, hops = 0; next != 0 && hops < l.pageCount; ++hops) {
                row.bytes.push_back({(int64_t(next) - 1) * l.pageSize, int64_t(next) * l.pageSize});
                if (!file.Read(next, over)) break;
                next = pages::Be32(over.data());
            }
            l.rows.push_back(std::move(row));
        }
    }
    ::close(fd);
    return l;
}

struct Variant {
    std::string kind, bytes;
    std::vector<std::pair<int64_t, int64_t>> touched; // byte ranges changed
};

// One damage of one kind, drawn from the seed.
Variant Corrupt(const Layout& l, const std::string& base, uint64_t seed) {
    static const char* const kinds[] = {
        "leaf header zeroed",      "leaf header of a small table", "index page zeroed",
        "root page header zeroed", "two cell headers overwritten", "child pointer to its own page",
        "catalogue bit flipped",   "file truncated",               "CREATE text bit flipped",
        "freelist header garbage", "overflow page damaged",        "page zeroed by type and position",
        "32 random bytes"};
    constexpr uint64_t kKinds = sizeof kinds / sizeof kinds[0];
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ULL + 5);
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    auto any = [&](const std::vector<int64_t>& v) { return v.empty() ? 0 : v[size_t(pick(0, int64_t(v.size()) - 1))]; };
    Variant v{kinds[seed % kKinds], base, {}};
    const int64_t ps = l.pageSize;
    auto set = [&](int64_t at, const std::string& bytes) {
        if (at < 0 || at + int64_t(bytes.size()) > int64_t(v.bytes.size())) return;
        v.bytes.replace(size_t(at), bytes.size(), bytes);
        v.touched.push_back({at, at + int64_t(bytes.size())});
    };
    auto flip = [&](int64_t at) { set(at, std::string(1, static_cast<char>(v.bytes[size_t(at)] ^ (1 << pick(0, 7))))); };
    auto garbage = [&](size_t n, const std::function<int64_t()>& at) { // the bytes drawn first
        std::string bytes(n, '\0');
        for (char& c : bytes)
            c = static_cast<char>(pick(0, 255));
        set(at(), bytes);
    };
    auto offsetOf = [&](int64_t page) { return (page - 1) * ps + (page == 1 ? 100 : 0); };
    auto be16 = [&](int64_t at) { return (uint8_t(v.bytes[size_t(at)]) << 8) | uint8_t(v.bytes[size_t(at) + 1]); };
    const auto dataLeaves = l.Pages([&](const PageOf& p) { return p.table && p.type == "leaf" && l.tables.contains(p.name); });
    switch (seed % kKinds) {
    case 0:
        set(offsetOf(any(dataLeaves)), std::string(8, '\0'));
        break;
    case 1: {
        // A table whose whole tree is one leaf of a few rows.
        std::vector<int64_t> small;
        for (int64_t p : dataLeaves)
            if (l.page.at(p).root) small.push_back(p);
        set(offsetOf(any(small)), std::string(8, '\0'));
        break;
    }
    case 2:
        set((any(l.Pages([](const PageOf& p) { return !p.table; })) - 1) * ps, std::string(size_t(ps), '\0'));
        break;
    case 3:
        set(offsetOf(any(l.Pages([&](const PageOf& p) { return p.table && p.root && l.tables.contains(p.name); }))),
            std::string(12, '\0'));
        break;
    case 4: {
        const int64_t page = any(dataLeaves), hdr = offsetOf(page);
        const int cells = be16(hdr + 3);
        for (int n = 0; n < 2 && cells > 0; ++n) {
            const int64_t at = (page - 1) * ps + be16(hdr + 8 + 2 * pick(0, cells - 1));
            set(at, std::string(3, '\xff'));
        }
        break;
    }
    case 5: {
        const int64_t page = any(l.Pages([&](const PageOf& p) { return p.table && p.type == "internal"; }));
        if (page == 0) break;
        const int64_t hdr = offsetOf(page);
        const int cells = be16(hdr + 3);
        const int64_t at = (page - 1) * ps + be16(hdr + 12 + 2 * pick(0, std::max(0, cells - 1)));
        std::string self(4, '\0');
        for (int i = 0; i < 4; ++i)
            self[size_t(i)] = static_cast<char>(uint32_t(page) >> (24 - 8 * i));
        set(at, self);
        break;
    }
    case 6: {
        const int64_t page = any(l.Pages([](const PageOf& p) { return p.name == "_k5_fields" && p.type == "leaf"; }));
        flip((page - 1) * ps + pick(ps / 2, ps - 1));
        break;
    }
    case 7: {
        const int64_t keep = pick(2, l.pageCount - 1) * ps + (pick(0, 1) ? pick(1, ps - 1) : 0);
        v.touched.push_back({keep, int64_t(v.bytes.size())});
        v.bytes.resize(size_t(keep));
        break;
    }
    case 8: {
        std::vector<size_t> texts;
        for (size_t at = base.find("CREATE TABLE"); at != std::string::npos && at < size_t(ps) * 8;
             at = base.find("CREATE TABLE", at + 1))
            texts.push_back(at);
        if (texts.empty()) break;
        flip(int64_t(texts[size_t(pick(0, int64_t(texts.size()) - 1))]) + pick(0, 40));
        break;
    }
    case 9:
        garbage(8, [] { return 32; });
        break;
    case 10: {
        const int64_t page = any(l.Pages([](const PageOf& p) { return p.type == "overflow"; }));
        if (page == 0) break;
        if (pick(0, 1))
            set((page - 1) * ps, std::string(size_t(ps), '\0'));
        else
            set((page - 1) * ps, std::string("\0\0\0\x01", 4)); // the chain turns to page 1
        break;
    }
    case 11: {
        // Each kind of page at its first, middle or last place in the file.
        static const char* const types[] = {"leaf", "internal", "overflow"};
        const std::string type = types[pick(0, 2)];
        const bool table = pick(0, 1);
        auto list = l.Pages([&](const PageOf& p) { return p.type == type && p.table == table; });
        if (list.empty()) list = dataLeaves;
        const int64_t where = pick(0, 2);
        const int64_t page = list[where == 0 ? 0 : where == 1 ? list.size() / 2 : list.size() - 1];
        set((page - 1) * ps, std::string(size_t(ps), '\0'));
        break;
    }
    default:
        garbage(32, [&] { return pick(100, int64_t(base.size()) - 32); });
        break;
    }
    return v;
}

bool Overlaps(const std::vector<std::pair<int64_t, int64_t>>& a, const std::vector<std::pair<int64_t, int64_t>>& b) {
    for (auto [from, to] : a)
        for (auto [x, y] : b)
            if (from < y && x < to) return true;
    return false;
}

// The rows of each table in the repaired file, and what the run said about each table.
struct Outcome {
    RowSet rows;
    std::set<std::string> failedTables; // with a failure line in the protocol
};

// A table's lines fail it when its copy did not end " завершено успешно" or its definition
// was reported damaged.
bool TableFailed(const std::string& out, const std::string& table) {
    if (out.find("Описание таблицы " + table + " ") != std::string::npos) return true;
    const std::string open = "Копирование таблицы " + table + " (записей: ";
    const size_t at = out.find(open);
    if (at == std::string::npos) return true;
    const size_t end = out.find('\n', at);
    return out.substr(at, end - at).find(" завершено успешно") == std::string::npos;
}

struct Figures {
    int64_t expected = 0, salvaged = 0, peerSalvaged = 0, peerRan = 0, refused = 0;
    std::pair<int64_t, int64_t> withoutSchemaRow; // salvaged, on intact pages
    std::map<std::string, std::pair<int64_t, int64_t>> perKind; // salvaged, expected
};

TEST(DamageCorpus, IntactRowsComeBackAndNothingElse) {
    const std::string model = Sandbox::Healthy(), base = ReadFile(model + "/Korund5.mdb");
    const Layout layout = Locate(model + "/Korund5.mdb");
    {
        // The page reader and SQLite agree on the undamaged file: the ground truth holds.
        std::map<std::string, int64_t> placed;
        for (const RowPlace& r : layout.rows)
            ++placed[r.table];
        for (const auto& [table, rows] : layout.values)
            ASSERT_EQ(placed[table], int64_t(rows.size())) << table;
    }
    const RowPlace* versionRow = nullptr;
    for (const RowPlace& r : layout.rows)
        if (r.table == "DBVersion" && (!versionRow || r.rowid < versionRow->rowid)) versionRow = &r;
    const char* cases = std::getenv("K5_CORPUS_VARIANTS");
    const int count = cases && *cases ? std::atoi(cases) : FullSweep() ? 400 : 26;
    const char* seedText = std::getenv("K5_CORPUS_SEED");
    const uint64_t firstSeed = seedText ? std::strtoull(seedText, nullptr, 10) : 1;
    const char* peer = std::getenv("K5_CORPUS_PEER");
    Figures fig;
    std::vector<int> ids(size_t(std::max(count, 0)));
    std::iota(ids.begin(), ids.end(), 0);
    const auto started = std::chrono::steady_clock::now();
    InSlices(ids, 12, [&](const std::vector<int>& slice) {
        std::vector<Variant> variants;
        for (int i : slice)
            variants.push_back(Corrupt(layout, base, firstSeed + uint64_t(i)));
        Batch b(
            slice.size(),
            [&](size_t j, Sandbox& s) {
                s.FillFrom(model);
                WriteFile(s.mainFile, variants[j].bytes);
            },
            [&](size_t j, Sandbox& s) {
                if (peer) {
                    WriteFile(s.root + "/variant.mdb", variants[j].bytes);
                    k5test::Shell(Quote(peer) + " " + Quote(s.root + "/variant.mdb") + " " +
                                  Quote(s.root + "/peer.db") + " >/dev/null 2>&1");
                }
                return s.Run("", {"K5_TEST_SHORT_PAUSES=1"}, 300);
            });
        for (size_t j = 0; j < slice.size(); ++j) {
            const Sandbox& s = *b.boxes[j];
            const ChildResult& r = b.runs[j];
            const Variant& v = variants[j];
            SCOPED_TRACE("seed " + std::to_string(firstSeed + uint64_t(slice[j])) + ": " + v.kind);
            ASSERT_FALSE(r.timedOut) << "no end within the limit";
            EXPECT_TRUE(r.exited && (r.code == 0 || r.code == 1)) << r.code << "\n" << r.out << r.err;
            // Without a readable version row the check pass refuses the file, whatever else it holds.
            if (versionRow && Overlaps(versionRow->bytes, v.touched) &&
                r.out.find("Дальнейшая работа программы невозможна.") != std::string::npos) {
                ++fig.refused;
                EXPECT_TRUE(ReadFile(s.mainFile) == v.bytes);
                continue;
            }
            const bool replaced = ReadFile(s.mainFile) != v.bytes;
            const std::string output = replaced ? s.mainFile : s.folder + "/Korund5_Prophylaxis.mdb";
            if (replaced) EXPECT_EQ(r.code, 0) << "replaced after a run with failures";
            const RowSet out = fs::exists(output) ? ReadRows(output) : RowSet{};
            // Intact rows back with their values; each output row a row of its own table.
            std::map<std::string, int64_t> lostIntact, touchedRows;
            for (const RowPlace& row : layout.rows) {
                const bool intact = !Overlaps(row.bytes, v.touched);
                touchedRows[row.table] += !intact;
                if (!intact) continue;
                // A table whose schema row is damaged is known only from the catalogue, and its
                // lost leaves only where their shape is its own: counted apart.
                if (Overlaps(layout.schemaRow.at(row.table), v.touched)) {
                    ++fig.withoutSchemaRow.second;
                    fig.withoutSchemaRow.first += TableRows(out, row.table).contains(
                        layout.values.at(row.table).at(row.rowid));
                    continue;
                }
                ++fig.expected;
                ++fig.perKind[v.kind].second;
                const std::string& value = layout.values.at(row.table).at(row.rowid);
                if (TableRows(out, row.table).contains(value)) {
                    ++fig.salvaged;
                    ++fig.perKind[v.kind].first;
                } else {
                    ++lostIntact[row.table];
                }
            }
            for (const auto& [table, n] : lostIntact)
                ADD_FAILURE() << n << " intact rows of " << table << " not salvaged";
            for (const auto& [table, rows] : out) {
                if (!layout.values.contains(table)) continue;
                std::multiset<std::string> original;
                for (const auto& [id, value] : layout.values.at(table))
                    original.insert(value);
                for (const std::string& row : std::set<std::string>(rows.begin(), rows.end())) {
                    const size_t have = rows.count(row), had = original.count(row);
                    if (have > had && had > 0) ADD_FAILURE() << "a row of " << table << " twice";
                    if (had == 0 && touchedRows[table] == 0)
                        ADD_FAILURE() << "a row in " << table << " that it never held";
                }
            }
            // Every table that lost a row says so.
            for (const auto& [table, values] : layout.values) {
                std::multiset<std::string> left = TableRows(out, table);
                int64_t lost = 0;
                for (const auto& [id, value] : values) {
                    auto it = left.find(value);
                    if (it == left.end())
                        ++lost;
                    else
                        left.erase(it);
                }
                // A value changed where no check can see it is a row in another form, not a loss.
                lost -= int64_t(left.size());
                if (lost > 0) EXPECT_TRUE(TableFailed(r.out, table)) << table << " lost " << lost << " rows silently";
            }
            if (peer && fs::exists(s.root + "/peer.db")) {
                ++fig.peerRan;
                const RowSet peerRows = ReadRows(s.root + "/peer.db");
                for (const RowPlace& row : layout.rows)
                    if (!Overlaps(row.bytes, v.touched) &&
                        TableRows(peerRows, row.table).contains(layout.values.at(row.table).at(row.rowid)))
                        ++fig.peerSalvaged;
            }
        }
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[ figures  ] variants %d, %.0f s; rows on intact pages salvaged: %lld of %lld (%.3f %%)\n", count,
                seconds, (long long)fig.salvaged, (long long)fig.expected,
                fig.expected ? 100.0 * double(fig.salvaged) / double(fig.expected) : 100.0);
    std::printf("[ figures  ] variants whose version row was damaged (refused by the check pass): %lld\n",
                (long long)fig.refused);
    std::printf("[ figures  ] rows on intact pages of tables whose schema row was damaged: %lld of %lld salvaged\n",
                (long long)fig.withoutSchemaRow.first, (long long)fig.withoutSchemaRow.second);
    for (const auto& [kind, n] : fig.perKind)
        std::printf("[ figures  ]   %-34s %lld of %lld\n", kind.c_str(), (long long)n.first, (long long)n.second);
    if (peer)
        std::printf("[ figures  ] peer ran on %lld variants; it salvaged %lld of the same %lld rows (%.3f %%)\n",
                    (long long)fig.peerRan, (long long)fig.peerSalvaged, (long long)fig.expected,
                    fig.expected ? 100.0 * double(fig.peerSalvaged) / double(fig.expected) : 0.0);
    RecordProperty("variants", count);
}

} // namespace
