// Damaged main files through whole runs: no crash, no hang, a verdict or an error with its
// location lines; the main file replaced only after a run without failures; every row of the
// result is a row of the original (or, for damage no check can see, of the damaged file).
#include "ReliabilityUtil.h"

#include <numeric>
#include <random>

using namespace k5rel;

namespace {

int64_t PageSize(const std::string& file) {
    const int64_t size = (static_cast<unsigned char>(file[16]) << 8) | static_cast<unsigned char>(file[17]);
    return size == 1 ? 65536 : size;
}

struct Variant {
    std::string kind, bytes;
};

// One damage of seven kinds, drawn from the seed; `overflow` lists the overflow pages.
Variant Corrupt(const std::string& base, const std::vector<int64_t>& overflow, uint64_t seed) {
    static const char* const kinds[] = {
        "bit flips",      "zeroed page",  "truncated",         "broken overflow chain",
        "garbage header", "garbage page", "b-tree page header"};
    const uint64_t kind = seed % 7;
    if (kind == 3 && overflow.empty()) return Corrupt(base, overflow, seed + 1);
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ULL + 17);
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    auto any = [&] { return overflow[static_cast<size_t>(pick(0, int64_t(overflow.size()) - 1))]; };
    const int64_t size = int64_t(base.size()), pageSize = PageSize(base), pages = size / pageSize;
    Variant v{kinds[kind], base};
    char* d = v.bytes.data();
    auto page = [&](int64_t p) { return d + (p - 1) * pageSize; };
    auto garbage = [&](char* at, int64_t n) {
        for (int64_t i = 0; i < n; ++i)
            at[i] = static_cast<char>(pick(0, 255));
    };
    if (kind == 0) {
        for (int64_t i = 0, n = pick(1, 16); i < n; ++i)
            d[pick(0, size - 1)] ^= static_cast<char>(1 << pick(0, 7));
    } else if (kind == 1) {
        std::fill_n(page(pick(1, pages)), pageSize, '\0');
    } else if (kind == 2) {
        v.bytes.resize(static_cast<size_t>(pick(0, pages - 1) * pageSize));
    } else if (kind == 3) {
        // The next page: none, past the end, itself (a loop), any overflow page, the first.
        const int64_t p = any(), how = pick(0, 4);
        const auto next = uint32_t(how == 0   ? 0
                                   : how == 1 ? pages + pick(1, 100000)
                                   : how == 2 ? p
                                   : how == 3 ? any()
                                              : 1);
        for (int i = 0; i < 4; ++i)
            page(p)[i] = static_cast<char>(next >> (24 - 8 * i));
    } else if (kind == 4) {
        const int64_t from = pick(0, 99);
        garbage(d + from, pick(1, 100 - from));
    } else if (kind == 5) {
        garbage(page(pick(1, pages)), pageSize);
    } else {
        const int64_t p = pick(1, pages);
        char* head = page(p) + (p == 1 ? 100 : 0);
        for (int64_t i = 0, n = pick(1, 4); i < n; ++i)
            head[pick(0, 11)] = static_cast<char>(pick(0, 255));
    }
    return v;
}

TEST(Damage, CorruptedMainFiles) {
    const std::string model = Sandbox::Healthy(), base = ReadFile(model + "/Korund5.mdb");
    const RowSet baseRows = ReadRows(model + "/Korund5.mdb");
    const RowSet refRows = ReadRows(model + "/Korund5_LastVer.mdb");
    ASSERT_FALSE(baseRows.empty());
    std::vector<int64_t> overflow;
    for (const std::string& p :
         Db(model + "/Korund5.mdb").Column("SELECT pageno FROM dbstat WHERE pagetype = 'overflow'"))
        overflow.push_back(std::stoll(p));
    ASSERT_GT(overflow.size(), 10u);
    const char* cases = std::getenv("K5_RELIABILITY_DAMAGE_CASES");
    const int count = cases && *cases ? std::atoi(cases) : FullSweep() ? 1200 : 40 + 40 * Scale();
    const char* seed = std::getenv("K5_RELIABILITY_SEED");
    const uint64_t firstSeed = seed ? std::strtoull(seed, nullptr, 10) : 1;
    std::map<std::string, int> perKind, replacedPerKind, errorsPerKind;
    int changedRows = 0;
    // Variant -1 is the file undamaged; batches of 12 run in parallel, then their checks.
    std::vector<int> ids(size_t(std::max(count, 0)) + 1);
    std::iota(ids.begin(), ids.end(), -1);
    InSlices(ids, 12, [&](const std::vector<int>& slice) {
        std::vector<Variant> variants;
        for (int i : slice)
            variants.push_back(i < 0 ? Variant{"unchanged", base}
                                     : Corrupt(base, overflow, firstSeed + uint64_t(i)));
        Batch b(
            slice.size(),
            [&](size_t j, Sandbox& s) {
                s.FillFrom(model);
                WriteFile(s.mainFile, variants[j].bytes);
                WriteFile(s.root + "/variant.mdb", variants[j].bytes);
            },
            [](size_t, Sandbox& s) {
                return s.Run("", {"ASAN_OPTIONS=detect_leaks=0:exitcode=86:abort_on_error=0",
                                  "UBSAN_OPTIONS=halt_on_error=1:exitcode=87:print_stacktrace=1"});
            });
        for (size_t j = 0; j < slice.size(); ++j) {
            const Sandbox& s = *b.boxes[j];
            const ChildResult& r = b.runs[j];
            const Variant& v = variants[j];
            SCOPED_TRACE("variant " + std::to_string(slice[j]) + " seed " +
                         std::to_string(firstSeed + uint64_t(slice[j])) + ": " + v.kind);
            ++perKind[v.kind];
            if (!ExpectVerdictOrTrail(r)) continue;
            errorsPerKind[v.kind] += r.code == 2;
            std::string output;
            if (CheckFolder(s, v.bytes, nullptr)) {
                ++replacedPerKind[v.kind];
                EXPECT_EQ(r.code, 0) << "replaced after a run with failures\n" << r.out;
                output = s.mainFile;
            } else if (fs::exists(s.folder + "/Korund5_Prophylaxis.mdb")) {
                output = s.folder + "/Korund5_Prophylaxis.mdb";
            }
            if (slice[j] < 0) {
                EXPECT_EQ(output, s.mainFile) << "the undamaged file was not replaced\n" << r.out << r.err;
                EXPECT_TRUE(ReadRows(output) == baseRows) << "rows changed on the way";
            }
            if (output.empty()) continue;
            const RowSet outRows = ReadRows(output);
            EXPECT_FALSE(outRows.empty()) << "the result cannot be read: " << output;
            const RowSet variantRows = ReadRows(s.root + "/variant.mdb");
            for (const auto& [table, rows] : outRows) {
                // Fields the protocol names as not copied keep their defaults in the kept copy.
                if (r.out.find("Поля таблицы " + table + " исходной БД") != std::string::npos) continue;
                for (const std::string& row : rows) {
                    // Damage without a checksum to see it reaches the copy as it is.
                    if (TableRows(baseRows, table).contains(row) || TableRows(refRows, table).contains(row))
                        continue;
                    EXPECT_TRUE(TableRows(variantRows, table).contains(row))
                        << "a row nowhere in the input: " << table;
                    ++changedRows;
                }
            }
        }
    });
    std::string summary;
    for (const auto& [kind, n] : perKind)
        summary += kind + ": " + std::to_string(n) + " (replaced " + std::to_string(replacedPerKind[kind]) +
                   ", error " + std::to_string(errorsPerKind[kind]) + "); ";
    std::printf("[ figures  ] damaged variants: %d; %s rows changed by undetectable damage: %d\n", count,
                summary.c_str(), changedRows);
    RecordProperty("variants", count);
}

// Targeted damage, each variant run once (in parallel): the run ends with failures and keeps
// the main file.
// - One flipped bit in the table's stored definition renames a column: the rebuilt table's
//   field of the old name finds nothing in the source; its values must not vanish from a run
//   that then counts as clean.
// - An empty table whose leaf page claims 255 rows with garbage cell pointers: "rowid > 0"
//   answers 0 again and again; the copy must end the table with its failure, not go round.
// - Damage in the reference file, from which every table is rebuilt: two bytes of the
//   "ListTbl" leaf (its cell count 36 -> 20) hid 16 tables from the copy; random bytes in
//   another page header make the same point for any page. The run must not start from it.
TEST(Damage, TargetedDamageKeepsTheMainFile) {
    const std::string model = Sandbox::Healthy(), main = ReadFile(model + "/Korund5.mdb"),
                      ref = ReadFile(model + "/Korund5_LastVer.mdb");
    auto pageOf = [&](const std::string& file, const std::string& table) {
        const auto roots =
            Db(model + "/" + file).Column("SELECT rootpage FROM sqlite_schema WHERE name = '" + table + "'");
        const int64_t pageSize = PageSize(file == "Korund5.mdb" ? main : ref);
        return roots.empty() ? size_t(0) : static_cast<size_t>((std::stoll(roots[0]) - 1) * pageSize);
    };
    const Sandbox probe;
    std::string renamed;
    for (size_t at = main.find("AccountantDocId"); at != std::string::npos && renamed.empty();
         at = main.find("AccountantDocId", at + 1)) {
        std::string v = main;
        v[at + 13] ^= 0x01; // "AccountantDocId" -> "AccountantDocHd"
        WriteFile(probe.root + "/probe.mdb", v);
        const auto names =
            Db(probe.root + "/probe.mdb").Column("SELECT name FROM pragma_table_info('NaturalPerson')");
        if (std::count(names.begin(), names.end(), "AccountantDocHd") > 0) renamed = v;
    }
    ASSERT_FALSE(renamed.empty()) << "no stored definition to damage";
    std::string leaf = main, list = ref, templates = ref;
    const size_t head = pageOf("Korund5.mdb", "PfrPacks"), listAt = pageOf("Korund5_LastVer.mdb", "ListTbl"),
                 templatesAt = pageOf("Korund5_LastVer.mdb", "DocTemplates");
    ASSERT_GT(head, 0u) << "PfrPacks has no page of its own";
    ASSERT_EQ(static_cast<unsigned char>(main[head]), 0x0D) << "not an empty table leaf";
    ASSERT_EQ(static_cast<unsigned char>(ref[listAt]), 0x0D) << "ListTbl is no single leaf";
    // As a damaged run of the sweep found it: a free block at 26, 255 cells, the cell area at
    // 0x8B00, the first cell pointer 26.
    leaf[head + 2] = 0x1A, leaf[head + 4] = static_cast<char>(0xFF), leaf[head + 5] = static_cast<char>(0x8B);
    leaf[head + 9] = 0x1A;
    list[listAt + 3] = 0, list[listAt + 4] = 20;
    templates[templatesAt + 1] = static_cast<char>(0xFF), templates[templatesAt + 7] = 0x7F;
    const struct {
        std::string what, file, bytes, flags, says;
    } cases[] = {
        {"renamed column", "Korund5.mdb", renamed, "", "AccountantDocHd"},
        {"leaf out of order", "Korund5.mdb", leaf, "", "Копирование таблицы PfrPacks"},
        {"reference ListTbl", "Korund5_LastVer.mdb", list, "--zip-and-rename", "Дальнейшая работа программы невозможна."},
        {"reference page header", "Korund5_LastVer.mdb", templates, "--zip-and-rename",
         "Дальнейшая работа программы невозможна."},
    };
    Batch b(
        std::size(cases),
        [&](size_t i, Sandbox& s) {
            s.FillFrom(model);
            WriteFile(s.folder + "/" + cases[i].file, cases[i].bytes);
        },
        [&](size_t i, Sandbox& s) { return s.Run(cases[i].flags, {}, 60); });
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [what, file, bytes, flags, says] = cases[i];
        SCOPED_TRACE(what);
        const Sandbox& s = *b.boxes[i];
        const ChildResult& r = b.runs[i];
        ASSERT_FALSE(r.timedOut) << "the run went round for ever";
        ExpectVerdictOrTrail(r);
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_TRUE(ReadFile(s.mainFile) == b.originals[i]) << "the main file was replaced";
        EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
        if (file == "Korund5.mdb") continue;
        EXPECT_NE(r.out.find("Файл базы данных \"" + s.folder +
                             "/Korund5_LastVer.mdb\" не удалось открыть по следующей причине:\n"),
                  std::string::npos)
            << r.out;
        EXPECT_FALSE(fs::exists(s.folder + "/Korund5_Prophylaxis.mdb"));
    }
}

} // namespace
