// A run killed at any point leaves the user's data whole: the old main file is somewhere
// the user finds it, the main file is either the old one or a sound repaired one, and the
// next run completes without touching earlier backups.
#include "ReliabilityUtil.h"

#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

using namespace k5rel;

namespace {

// The replacement path with every step that changes files; the BigDocs compaction (one
// second per file) only in the large sweep.
std::string CrashFlags() {
    std::string flags = "--zip-and-rename --remove-orphaned --remove-orphaned-bigdocs";
    if (FullSweep()) flags += " --compact-bigdocs";
    return flags;
}

struct Reference {
    std::string original; // the demo main file's bytes
    RowSet repairedRows;  // rows of the main file after an uninterrupted run
    FaultLog log;         // its entries and file-changing calls
};

const Reference& CleanRun(const std::string& flags = CrashFlags()) {
    static std::map<std::string, Reference> refs;
    if (auto it = refs.find(flags); it != refs.end()) return it->second;
    Reference& ref = refs[flags];
    ref = [&] {
        Reference r;
        Sandbox s;
        s.FillFromDemo();
        r.original = ReadFile(s.mainFile);
        const std::string logPath = s.root + "/fault.log";
        ChildResult run = s.Run(flags, {"K5_TEST_FAULT_LOG=" + logPath});
        EXPECT_TRUE(run.exited && run.code == 1) << run.code << run.err;
        r.log = ReadFaultLog(logPath);
        r.repairedRows = ReadRows(s.mainFile).value_or(RowSet{});
        EXPECT_FALSE(r.repairedRows.empty());
        return r;
    }();
    return ref;
}

struct Case {
    std::string variable;
    int64_t k = 0;
    std::string what;
};

// The state a killed run leaves, then a second run.
// The document files of BigDocs, each under its name or renamed as an orphan.
std::string MissingDocumentFiles(const Sandbox& s, const std::vector<std::string>& names) {
    std::string missing;
    const auto now = Files(s.folder + "/BigDocs");
    for (const std::string& n : names) {
        bool found = false;
        for (const std::string& f : now)
            found = found || f == n || f.rfind(n + "-лишний-файл-", 0) == 0;
        if (!found) missing += n + " ";
    }
    return missing;
}

void CheckCrashCases(const std::vector<Case>& cases, const std::string& flags = CrashFlags()) {
    // A sweep of thousands of cases goes in slices: every case holds a copy of the folder.
    if (cases.size() > kSlice) {
        for (size_t i = 0; i < cases.size(); i += kSlice)
            CheckCrashCases({cases.begin() + long(i), cases.begin() + long(std::min(cases.size(), i + kSlice))},
                            flags);
        return;
    }
    const Reference& ref = CleanRun(flags);
    std::vector<std::string> documents;
    {
        Sandbox demo;
        demo.FillFromDemo();
        for (const std::string& f : Files(demo.folder + "/BigDocs"))
            if (f.size() > 4 && f.compare(f.size() - 4, 4, ".mdb") == 0) documents.push_back(f);
    }
    std::vector<std::unique_ptr<Sandbox>> boxes(cases.size());
    std::vector<ChildResult> first(cases.size()), second(cases.size());
    for (auto& b : boxes) {
        b = std::make_unique<Sandbox>();
        b->FillFromDemo();
    }
    Parallel(cases.size(), [&](size_t i) {
        first[i] = boxes[i]->Run(flags, {cases[i].variable + "=" + std::to_string(cases[i].k)});
    });
    std::vector<std::map<std::string, std::string>> backups(cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Sandbox& s = *boxes[i];
        SCOPED_TRACE(cases[i].variable + "=" + std::to_string(cases[i].k) + " (" + cases[i].what + ")");
        EXPECT_EQ(first[i].signal, SIGKILL) << first[i].code << first[i].err;
        EXPECT_FALSE(PlacesHolding(s, ref.original).empty()) << "the old main file is nowhere";
        if (FileExists(s.mainFile) && ReadFile(s.mainFile) != ref.original) {
            EXPECT_EQ(Integrity(s.mainFile), "");
            EXPECT_TRUE(ReadRows(s.mainFile) == ref.repairedRows) << "the main file is not the repaired one";
        }
        EXPECT_TRUE(FileExists(s.mainFile)) << "no Korund5.mdb after the crash";
        EXPECT_EQ(BrokenArchives(s), "");
        EXPECT_EQ(MissingDocumentFiles(s, documents), "");
        backups[i] = Backups(s);
    }
    Parallel(cases.size(), [&](size_t i) {
        second[i] = boxes[i]->Run("--zip-and-rename --remove-orphaned --remove-orphaned-bigdocs");
    });
    for (size_t i = 0; i < cases.size(); ++i) {
        const Sandbox& s = *boxes[i];
        SCOPED_TRACE(cases[i].variable + "=" + std::to_string(cases[i].k) + " (" + cases[i].what + ")");
        const ChildResult& r = second[i];
        EXPECT_TRUE(r.exited && (r.code == 0 || r.code == 1)) << r.code << "\n" << r.err << r.out;
        EXPECT_NE(r.out.find("Профилактика БД завершена"), std::string::npos) << r.out;
        EXPECT_EQ(Integrity(s.mainFile), "");
        const auto after = Backups(s);
        for (const auto& [name, bytes] : backups[i]) {
            auto it = after.find(name);
            EXPECT_TRUE(it != after.end() && it->second == bytes) << "backup changed: " << name;
        }
        EXPECT_EQ(BrokenArchives(s), "");
        EXPECT_EQ(MissingDocumentFiles(s, documents), "");
    }
}

// CI: a few points spread over the run, and the file replacement at its end in full.
std::vector<int64_t> Points(int64_t n, int64_t tailStart, int spread) {
    std::set<int64_t> ks;
    for (int64_t k : Spread(n, spread))
        ks.insert(k);
    for (int64_t k = std::max<int64_t>(1, tailStart); k <= n; ++k)
        ks.insert(k);
    return {ks.begin(), ks.end()};
}

TEST(Crash, AfterProtocolEntries) {
    const Reference& ref = CleanRun();
    ASSERT_GT(ref.log.entries, 20);
    const int64_t n = ref.log.entries;
    // Killed after the last entry the run is over; the entries before it are the points.
    std::vector<int64_t> ks =
        FullSweep() ? Spread(n - 1, int(n - 1)) : Points(n - 1, n - 10, 4 + 2 * Scale());
    std::vector<Case> cases;
    for (int64_t k : ks)
        cases.push_back({"K5_TEST_CRASH_AFTER_ENTRY", k, "entry"});
    CheckCrashCases(cases);
    RecordProperty("cases", int(cases.size()));
}

TEST(Crash, AtFileChangingCalls) {
    const Reference& ref = CleanRun();
    const int64_t n = static_cast<int64_t>(ref.log.calls.size());
    ASSERT_GT(n, 10);
    std::vector<Case> cases;
    if (FullSweep()) {
        for (int64_t k = 1; k <= n; ++k)
            cases.push_back({"K5_TEST_CRASH_AT_FS_CALL", k, ref.log.calls[k - 1]});
    } else {
        // Every rename, deletion, trash move and archive step of the last part of the run;
        // a spread of the database writes and syncs before it.
        std::set<int64_t> ks;
        for (int64_t k : Spread(n, 6 + 4 * Scale()))
            ks.insert(k);
        for (int64_t k = n; k >= 1 && ks.size() < size_t(24 + 8 * Scale()); --k) {
            const std::string& w = ref.log.calls[k - 1];
            if (w != "db-write" && w != "db-sync" && w != "db-truncate" && w != "fsync") ks.insert(k);
        }
        for (int64_t k : ks)
            cases.push_back({"K5_TEST_CRASH_AT_FS_CALL", k, ref.log.calls[k - 1]});
    }
    CheckCrashCases(cases);
    RecordProperty("cases", int(cases.size()));
}

TEST(Crash, DuringBigDocsCompaction) {
    const std::string flags = "--compact-bigdocs";
    const Reference& ref = CleanRun(flags);
    std::vector<Case> cases;
    const int64_t n = static_cast<int64_t>(ref.log.calls.size());
    // From the BigDocs archive on: each file's compaction and swap, then the main file's.
    int64_t from = 1;
    while (from <= n && ref.log.calls[from - 1] != "zip-create")
        ++from;
    ASSERT_LE(from, n);
    std::vector<int64_t> swaps;
    for (int64_t k = from; k <= n; ++k) {
        const std::string& w = ref.log.calls[k - 1];
        if (FullSweep())
            cases.push_back({"K5_TEST_CRASH_AT_FS_CALL", k, w});
        else if (w == "rename" || w == "link")
            swaps.push_back(k);
    }
    // CI: a few of the swaps (each file's takes two or three calls), spread over the files.
    const int64_t m = static_cast<int64_t>(swaps.size());
    for (int64_t j : Spread(m, 5 + 3 * Scale()))
        cases.push_back({"K5_TEST_CRASH_AT_FS_CALL", swaps[j - 1], ref.log.calls[swaps[j - 1] - 1]});
    CheckCrashCases(cases, flags);
    RecordProperty("cases", int(cases.size()));
}

} // namespace
