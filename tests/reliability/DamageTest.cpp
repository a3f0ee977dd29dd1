// Damaged main files: bit flips, zeroed and garbage pages, truncation at page boundaries,
// broken overflow chains and garbage headers, each through a whole run with a time limit.
// No crash, no hang, a verdict or an error with its location lines; the main file replaced
// only after a run without failures; every row that reaches the repaired file is a row of
// the original (or, for damage no check can see, the row as the damaged file holds it).
#include "ReliabilityUtil.h"

#include <sqlite3.h>

#include <cstdlib>
#include <random>

using namespace k5rel;

namespace {

struct Variant {
    std::string kind;
    std::string bytes;
};

class Corrupter {
public:
    explicit Corrupter(const std::string& base) : mBase(base) {
        const unsigned char* h = reinterpret_cast<const unsigned char*>(base.data());
        mPageSize = (h[16] << 8) | h[17];
        if (mPageSize == 1) mPageSize = 65536;
        mPages = static_cast<int64_t>(base.size()) / mPageSize;
    }

    void SetOverflowPages(std::vector<int64_t> pages) { mOverflow = std::move(pages); }
    int64_t Pages() const { return mPages; }
    size_t OverflowCount() const { return mOverflow.size(); }

    Variant Make(uint64_t seed) {
        std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ULL + 17);
        auto pick = [&](int64_t lo, int64_t hi) {
            return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
        };
        Variant v{"", mBase};
        char* d = v.bytes.data();
        const int64_t size = static_cast<int64_t>(v.bytes.size());
        switch (seed % 7) {
        case 0: {
            v.kind = "bit flips";
            for (int64_t i = 0, n = pick(1, 16); i < n; ++i)
                d[pick(0, size - 1)] ^= static_cast<char>(1 << pick(0, 7));
            break;
        }
        case 1: {
            v.kind = "zeroed page";
            const int64_t p = pick(1, mPages);
            std::fill(d + (p - 1) * mPageSize, d + p * mPageSize, '\0');
            break;
        }
        case 2: {
            v.kind = "truncated";
            v.bytes.resize(static_cast<size_t>(pick(0, mPages - 1) * mPageSize));
            break;
        }
        case 3: {
            v.kind = "broken overflow chain";
            if (mOverflow.empty()) return Make(seed + 1);
            const int64_t p = mOverflow[static_cast<size_t>(pick(0, int64_t(mOverflow.size()) - 1))];
            uint32_t next = 0;
            switch (pick(0, 4)) {
            case 0:
                next = 0;
                break;
            case 1:
                next = static_cast<uint32_t>(mPages + pick(1, 100000));
                break;
            case 2:
                next = static_cast<uint32_t>(p);
                break; // a loop
            case 3:
                next = static_cast<uint32_t>(
                    mOverflow[static_cast<size_t>(pick(0, int64_t(mOverflow.size()) - 1))]);
                break;
            default:
                next = 1;
                break;
            }
            unsigned char* at = reinterpret_cast<unsigned char*>(d + (p - 1) * mPageSize);
            at[0] = static_cast<unsigned char>(next >> 24);
            at[1] = static_cast<unsigned char>(next >> 16);
            at[2] = static_cast<unsigned char>(next >> 8);
            at[3] = static_cast<unsigned char>(next);
            break;
        }
        case 4: {
            v.kind = "garbage header";
            const int64_t from = pick(0, 99), n = pick(1, 100 - from);
            for (int64_t i = 0; i < n; ++i)
                d[from + i] = static_cast<char>(pick(0, 255));
            break;
        }
        case 5: {
            v.kind = "garbage page";
            const int64_t p = pick(1, mPages);
            for (int64_t i = 0; i < mPageSize; ++i)
                d[(p - 1) * mPageSize + i] = static_cast<char>(pick(0, 255));
            break;
        }
        default: {
            v.kind = "b-tree page header";
            const int64_t p = pick(1, mPages);
            const int64_t head = (p - 1) * mPageSize + (p == 1 ? 100 : 0);
            for (int64_t i = 0, n = pick(1, 4); i < n; ++i)
                d[head + pick(0, 11)] = static_cast<char>(pick(0, 255));
            break;
        }
        }
        return v;
    }

private:
    std::string mBase;
    int64_t mPageSize = 4096;
    int64_t mPages = 0;
    std::vector<int64_t> mOverflow;
};

std::vector<int64_t> OverflowPages(const std::string& path) {
    std::vector<int64_t> pages;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT pageno FROM dbstat WHERE pagetype = 'overflow'", -1, &st,
                               nullptr) == SQLITE_OK)
            while (sqlite3_step(st) == SQLITE_ROW)
                pages.push_back(sqlite3_column_int64(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return pages;
}

int CaseCount() {
    if (const char* v = std::getenv("K5_RELIABILITY_DAMAGE_CASES"); v != nullptr && *v != '\0')
        return std::atoi(v);
    if (FullSweep()) return 1200;
    return 40 + 40 * Scale();
}

bool Contains(const RowSet& set, const std::string& table, const std::string& row) {
    for (const auto& [name, rows] : set)
        if (QString::fromStdString(name).compare(QString::fromStdString(table), Qt::CaseInsensitive) == 0 &&
            rows.count(row) > 0)
            return true;
    return false;
}

TEST(Damage, CorruptedMainFiles) {
    Sandbox model;
    model.FillHealthy();
    const std::string base = ReadFile(model.mainFile);
    const RowSet baseRows = ReadRows(model.mainFile).value_or(RowSet{});
    const RowSet refRows = ReadRows(model.folder + "/Korund5_LastVer.mdb").value_or(RowSet{});
    ASSERT_FALSE(baseRows.empty());
    Corrupter corrupter(base);
    corrupter.SetOverflowPages(OverflowPages(model.mainFile));
    ASSERT_GT(corrupter.OverflowCount(), 10u);

    const int count = CaseCount();
    const uint64_t firstSeed = std::getenv("K5_RELIABILITY_SEED")
                                   ? std::strtoull(std::getenv("K5_RELIABILITY_SEED"), nullptr, 10)
                                   : 1;
    std::map<std::string, int> perKind, replacedPerKind, errorsPerKind;
    int changedRows = 0;
    // In batches: each batch's runs in parallel, then its checks.
    const int batch = 12;
    for (int start = -1; start < count; start += batch) {
        const int end = std::min(count, start + batch);
        std::vector<Variant> variants;
        for (int i = start; i < end; ++i)
            variants.push_back(i < 0 ? Variant{"unchanged", base} : corrupter.Make(firstSeed + uint64_t(i)));
        std::vector<std::unique_ptr<Sandbox>> boxes(variants.size());
        std::vector<ChildResult> runs(variants.size());
        for (size_t j = 0; j < variants.size(); ++j) {
            boxes[j] = std::make_unique<Sandbox>();
            boxes[j]->FillFrom(model);
            std::ofstream(boxes[j]->mainFile, std::ios::binary | std::ios::trunc) << variants[j].bytes;
        }
        Parallel(variants.size(), [&](size_t j) {
            runs[j] = boxes[j]->Run("",
                                    {"ASAN_OPTIONS=detect_leaks=0:exitcode=86:abort_on_error=0",
                                     "UBSAN_OPTIONS=halt_on_error=1:exitcode=87:print_stacktrace=1"},
                                    120);
        });
        for (size_t j = 0; j < variants.size(); ++j) {
            const Sandbox& s = *boxes[j];
            const ChildResult& r = runs[j];
            const Variant& v = variants[j];
            const int i = start + int(j);
            SCOPED_TRACE("variant " + std::to_string(i) + " seed " + std::to_string(firstSeed + uint64_t(i)) +
                         ": " + v.kind);
            ++perKind[v.kind];
            if (r.timedOut || !r.exited) {
                ADD_FAILURE() << (r.timedOut ? "hung" : "signal " + std::to_string(r.signal)) << "\n"
                              << r.err.substr(0, 4000);
                continue;
            }
            EXPECT_EQ(r.err.find("AddressSanitizer"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
            EXPECT_TRUE(r.code == 0 || r.code == 1 || r.code == 2) << r.code << "\n" << r.err.substr(0, 4000);
            if (r.code == 2) {
                ++errorsPerKind[v.kind];
                EXPECT_NE(r.err.find("[K5VedovodeduzOR::"), std::string::npos) << r.err;
            } else {
                EXPECT_TRUE(r.out.find("Профилактика БД завершена") != std::string::npos ||
                            r.out.find("Дальнейшая работа программы невозможна.") != std::string::npos)
                    << r.out;
            }
            std::string output;
            if (!FileExists(s.mainFile)) {
                ADD_FAILURE() << "Korund5.mdb is missing";
                continue;
            }
            if (ReadFile(s.mainFile) != v.bytes) {
                ++replacedPerKind[v.kind];
                EXPECT_EQ(r.code, 0) << "replaced after a run with failures\n" << r.out;
                EXPECT_EQ(Integrity(s.mainFile), "");
                EXPECT_FALSE(PlacesHolding(s, v.bytes).empty()) << "the damaged original is nowhere";
                output = s.mainFile;
            } else if (FileExists(s.folder + "/Korund5_Prophylaxis.mdb")) {
                output = s.folder + "/Korund5_Prophylaxis.mdb";
            }
            if (i < 0) {
                EXPECT_EQ(output, s.mainFile) << "the undamaged file was not replaced\n" << r.out << r.err;
                EXPECT_TRUE(ReadRows(output) == baseRows) << "rows changed on the way";
            }
            if (output.empty()) continue;
            const RowSet variantRows = ReadRows(s.mainFile).value_or(RowSet{});
            const auto outRows = ReadRows(output);
            if (!outRows) {
                ADD_FAILURE() << "the result cannot be read: " << output;
                continue;
            }
            for (const auto& [table, rows] : *outRows) {
                // Fields the protocol names as not copied keep their defaults in the kept copy.
                if (r.out.find("Поля таблицы " + table + " исходной БД") != std::string::npos) continue;
                for (const std::string& row : rows) {
                    if (Contains(baseRows, table, row) || Contains(refRows, table, row)) continue;
                    // Damage without a checksum to see it reaches the copy as it is.
                    EXPECT_TRUE(Contains(variantRows, table, row))
                        << "a row that is nowhere in the input: " << table;
                    ++changedRows;
                }
            }
        }
    }
    std::string summary;
    for (const auto& [kind, n] : perKind)
        summary += kind + ": " + std::to_string(n) + " (replaced " + std::to_string(replacedPerKind[kind]) +
                   ", error " + std::to_string(errorsPerKind[kind]) + "); ";
    std::printf("[ figures  ] damaged variants: %d; %s rows changed by undetectable damage: %d\n", count,
                summary.c_str(), changedRows);
    RecordProperty("variants", count);
}

// One flipped bit in the table's stored definition renames a column: the rebuilt table's
// field of the old name finds nothing in the source. Its values must not vanish from a run
// that then counts as clean and replaces the main file.
TEST(Damage, RenamedColumnKeepsTheMainFile) {
    Sandbox s;
    s.FillHealthy();
    std::string bytes = ReadFile(s.mainFile);
    const std::string probePath = s.root + "/probe.mdb";
    bool renamed = false;
    for (size_t at = bytes.find("AccountantDocId"); at != std::string::npos && !renamed;
         at = bytes.find("AccountantDocId", at + 1)) {
        std::string v = bytes;
        v[at + 13] ^= 0x01; // "AccountantDocId" -> "AccountantDocHd"
        std::ofstream(probePath, std::ios::binary | std::ios::trunc) << v;
        sqlite3* db = nullptr;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_open_v2(probePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('NaturalPerson')", -1, &st, nullptr) ==
                SQLITE_OK)
            while (sqlite3_step(st) == SQLITE_ROW)
                renamed = renamed || std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) ==
                                         "AccountantDocHd";
        sqlite3_finalize(st);
        sqlite3_close(db);
        if (renamed) bytes = v;
    }
    ASSERT_TRUE(renamed) << "no stored definition to damage";
    std::ofstream(s.mainFile, std::ios::binary | std::ios::trunc) << bytes;
    const ChildResult r = s.Run("");
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_TRUE(ReadFile(s.mainFile) == bytes) << "replaced although a column's values were left behind";
    EXPECT_NE(r.out.find("AccountantDocHd"), std::string::npos) << r.out;
}

// An empty table whose leaf page claims 255 rows with garbage cell pointers: the rows can
// no longer be found in order ("rowid > 0" answers 0 again, and again). The copy must end the table
// with its failure, not report the same damaged row for ever.
TEST(Damage, LeafPageOutOfOrderEndsTheTable) {
    Sandbox s;
    s.FillHealthy();
    std::string bytes = ReadFile(s.mainFile);
    int64_t root = 0;
    {
        sqlite3* db = nullptr;
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_open_v2(s.mainFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        if (sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_schema WHERE name = 'PfrPacks'", -1, &st,
                               nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            root = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
    }
    ASSERT_GT(root, 1) << "PfrPacks has no page of its own";
    const unsigned char* h = reinterpret_cast<const unsigned char*>(bytes.data());
    const int64_t pageSize = (h[16] << 8) | h[17];
    const size_t head = static_cast<size_t>((root - 1) * pageSize);
    ASSERT_EQ(static_cast<unsigned char>(bytes[head]), 0x0D) << "not an empty table leaf";
    // As a damaged run of the sweep found it: a free block at 26, 255 cells, the cell area at
    // 0x8B00, the first cell pointer 26.
    bytes[head + 2] = 0x1A;
    bytes[head + 4] = static_cast<char>(0xFF);
    bytes[head + 5] = static_cast<char>(0x8B);
    bytes[head + 9] = 0x1A;
    std::ofstream(s.mainFile, std::ios::binary | std::ios::trunc) << bytes;
    const ChildResult r = s.Run("", {}, 60);
    ASSERT_FALSE(r.timedOut) << "the copy went round for ever";
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_TRUE(ReadFile(s.mainFile) == bytes);
    EXPECT_NE(r.out.find("Копирование таблицы PfrPacks"), std::string::npos);
}

} // namespace
