// A run killed at any point leaves the user's data whole: the old main file is somewhere
// the user finds it, the main file is either the old one or a sound repaired one, and the
// next run completes without touching earlier backups.
#include "ReliabilityUtil.h"

using namespace k5rel;

namespace {

const std::string kRepair = "--zip-and-rename --remove-orphaned --remove-orphaned-bigdocs";

// The replacement path with every step that changes files; the BigDocs compaction (one
// second per file) only in the large sweep.
const std::string kCrashFlags = kRepair + (FullSweep() ? " --compact-bigdocs" : "");

// The demo's BigDocs document files missing both under their name and renamed as orphans.
std::string MissingDocuments(const Sandbox& s) {
    return k5test::Shell(
        "d=" + Quote(s.folder + "/BigDocs") + "; cd " + Quote(Sandbox::Demo() + "/BigDocs") +
        " && for f in *.mdb; do ls -d \"$d/$f\" \"$d/$f\"-лишний-файл-* 2>/dev/null | grep -q . || "
        "echo \"$f\"; done");
}

// Work files of a run, of any age, in the database, protocol and BigDocs folders.
std::string WorkFiles(const Sandbox& s) {
    std::string found;
    for (const std::string& dir : {s.folder, s.protocolFolder, s.folder + "/BigDocs"})
        for (const std::string& f : Files(dir))
            if (f == "Korund5_Compact.mdb" || f.find(".k5tmp") != std::string::npos ||
                f.find(".k5part") != std::string::npos || f.starts_with(".k5move-") ||
                f.starts_with("k5w_test.tmp") || f.ends_with(".pack") || f.ends_with(".old") ||
                f.ends_with("-journal"))
                found += dir + "/" + f + "\n";
    return found;
}

// What the system under the run lacks or has elsewhere: the environment of every run, and
// how a sandbox is set up for it.
struct Platform {
    std::string name;
    std::vector<std::string> env;
    bool ownDisk = false; // the database on a disk of its own, the home trash elsewhere
};

using Case = std::pair<int64_t, std::string>; // k, the kind of point

// The state a killed run leaves, then a second run, which also clears the first one's work files.
// Returns how many killed runs left the work file of the archive made beside the copy.
int CheckCrashCases(const std::string& variable, const std::vector<Case>& all, const std::string& flags,
                    const Reference& ref, const Platform& platform = {}) {
    int leftWorkFiles = 0;
    InSlices(all, 96, [&](const std::vector<Case>& cases) {
        Batch b(
            cases.size(),
            [&](size_t, Sandbox& s) {
                if (platform.ownDisk) s.OnDiskOfItsOwn();
                s.FillFromDemo();
            },
            [&](size_t i, Sandbox& s) {
                std::vector<std::string> env = platform.env;
                env.push_back(variable + "=" + std::to_string(cases[i].first));
                return s.Run(flags, env);
            });
        auto name = [&](size_t i) {
            return platform.name + " " + variable + "=" + std::to_string(cases[i].first) + " (" + cases[i].second + ")";
        };
        std::vector<std::map<std::string, std::string>> backups(cases.size());
        for (size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(name(i));
            EXPECT_EQ(b.runs[i].signal, SIGKILL) << b.runs[i].code << b.runs[i].err;
            CheckFolder(*b.boxes[i], ref.original, &ref.repairedRows);
            EXPECT_EQ(MissingDocuments(*b.boxes[i]), "");
            leftWorkFiles += WorkFiles(*b.boxes[i]).find(".zip.k5part") != std::string::npos;
            backups[i] = Backups(*b.boxes[i]);
        }
        Parallel(cases.size(), [&](size_t i) { b.runs[i] = b.boxes[i]->Run(kRepair, platform.env); });
        for (size_t i = 0; i < cases.size(); ++i) {
            const Sandbox& s = *b.boxes[i];
            const ChildResult& r = b.runs[i];
            SCOPED_TRACE(name(i) + ", next run");
            EXPECT_TRUE(r.exited && (r.code == 0 || r.code == 1)) << r.code << "\n" << r.err << r.out;
            EXPECT_NE(r.out.find("Профилактика БД завершена"), std::string::npos) << r.out;
            EXPECT_EQ(Integrity(s.mainFile), "");
            const auto after = Backups(s);
            for (const auto& [name, bytes] : backups[i])
                EXPECT_TRUE(after.contains(name) && after.at(name) == bytes) << "backup changed: " << name;
            EXPECT_EQ(BrokenArchives(s), "");
            EXPECT_EQ(MissingDocuments(s), "");
            EXPECT_EQ(WorkFiles(s), "");
        }
    });
    ::testing::Test::RecordProperty("cases", int(all.size()));
    ::testing::Test::RecordProperty("left work files", leftWorkFiles);
    return leftWorkFiles;
}

TEST(Crash, AfterProtocolEntries) {
    // Killed after the last entry the run is over; the entries before it are the points.
    const Reference ref = CleanRun(Sandbox::Demo(), kCrashFlags, 1);
    const int64_t n = ref.log.entries - 1;
    ASSERT_GT(n, 19);
    // CI: a few points spread over the run, and the file replacement at its end in full.
    std::vector<Case> cases;
    for (int64_t k : Spread(n, FullSweep() ? int(n) : 4 + 2 * Scale()))
        if (k < n - 9) cases.push_back({k, "entry"});
    for (int64_t k = std::max<int64_t>(1, n - 9); k <= n; ++k)
        cases.push_back({k, "entry"});
    // Killed during the copy, the archive made beside it is under way: the sweep must meet it.
    EXPECT_GT(CheckCrashCases("K5_TEST_CRASH_AFTER_ENTRY", cases, kCrashFlags, ref), 0);
}

TEST(Crash, AtFileChangingCalls) {
    const Reference ref = CleanRun(Sandbox::Demo(), kCrashFlags, 1);
    ASSERT_GT(ref.log.calls.size(), 10u);
    // CI: every rename, deletion, trash move and archive step of the last part of the run;
    // a spread of the database writes and syncs before it.
    std::vector<Case> cases;
    for (int64_t k : CallPoints(ref.log, 6 + 4 * Scale(), 24 + 8 * Scale(), true))
        cases.push_back({k, ref.log.calls[k - 1]});
    CheckCrashCases("K5_TEST_CRASH_AT_FS_CALL", cases, kCrashFlags, ref);
}

TEST(Crash, DuringBigDocsCompaction) {
    const std::string flags = "--compact-bigdocs";
    const Reference ref = CleanRun(Sandbox::Demo(), flags, 1);
    const auto& calls = ref.log.calls;
    // From the BigDocs archive on: each file's compaction and swap, then the main file's.
    const auto from = std::find(calls.begin(), calls.end(), "zip-create");
    ASSERT_NE(from, calls.end());
    std::vector<Case> cases, swaps;
    for (auto it = from; it != calls.end(); ++it) {
        if (FullSweep()) cases.push_back({it - calls.begin() + 1, *it});
        else if (*it == "rename" || *it == "link") swaps.push_back({it - calls.begin() + 1, *it});
    }
    // CI: a few of the swaps (each file's takes two or three calls), spread over the files.
    for (int64_t j : Spread(int64_t(swaps.size()), 5 + 3 * Scale()))
        cases.push_back(swaps[j - 1]);
    CheckCrashCases("K5_TEST_CRASH_AT_FS_CALL", cases, flags, ref);
}

// The final swaps once more where the system has no hard links (and no exchange of two
// names), and where the old file can reach a trash only on its own disk: Korund5.mdb and
// every BigDocs file are there at every instant all the same.
TEST(Crash, WithoutHardLinksOrWithTheTrashElsewhere) {
    const std::string flags = kRepair + " --compact-bigdocs";
    const std::vector<Platform> platforms{
        {"no hard links:", {"K5_TEST_NO_HARD_LINKS=1"}},
        {"no hard links, no exchange:", {"K5_TEST_NO_HARD_LINKS=1", "K5_TEST_NO_EXCHANGE=1"}},
        {"the trash on another file system:", {}, true}};
    int cases = 0;
    for (const Platform& p : platforms) {
        if (p.ownDisk && !Sandbox().OnDiskOfItsOwn()) {
            std::cout << "skipped (" << p.name << " needs root and loop mounts)\n";
            continue;
        }
        const Reference ref = CleanRun(
            Sandbox::Demo(), flags, 1,
            [&](Sandbox& s) {
                if (p.ownDisk) s.OnDiskOfItsOwn();
            },
            p.env);
        // CI: every rename, deletion, trash move and archive step of the final swap; a spread of
        // the BigDocs swaps and the rest before it.
        std::vector<Case> all;
        for (int64_t k : CallPoints(ref.log, 2 + 4 * Scale(), 12 + 8 * Scale(), true))
            all.push_back({k, ref.log.calls[k - 1]});
        CheckCrashCases("K5_TEST_CRASH_AT_FS_CALL", all, flags, ref, p);
        cases += int(all.size());
    }
    ::testing::Test::RecordProperty("cases", cases);
}

// Killed while an archive or a compaction is under way: the next run removes what was left.
TEST(Crash, WorkFilesOfAKilledRunGoWithTheNextRun) {
    const std::string flags = kRepair + " --compact-bigdocs";
    const Reference ref = CleanRun(Sandbox::Demo(), flags, 1);
    const auto& calls = ref.log.calls;
    auto at = [&](auto from, const std::string& kind) { return std::find(from, calls.end(), kind); };
    // The main archive is made beside the copy and renamed into place at its step ("zip-adopt");
    // on one core it is written at its step.
    const auto bigDocsZip = at(calls.begin(), "zip-write"), adopt = at(calls.begin(), "zip-adopt");
    const auto mainZip = adopt != calls.end() ? adopt : at(bigDocsZip + 1, "zip-write");
    ASSERT_NE(mainZip, calls.end());
    const auto packWrite = at(bigDocsZip, "db-write");
    // The last page written before the main archive: the final compaction's target.
    auto compactWrite = std::find(std::make_reverse_iterator(mainZip), calls.rend(), "db-write");
    ASSERT_NE(compactWrite, calls.rend());
    const std::vector<Case> cases{{bigDocsZip - calls.begin() + 1, "BigDocs archive"},
                                  {packWrite - calls.begin() + 1, "BigDocs compaction"},
                                  {calls.rend() - compactWrite, "final compaction"},
                                  {mainZip - calls.begin() + 1, "main archive"}};
    CheckCrashCases("K5_TEST_CRASH_AT_FS_CALL", cases, flags, ref);
}

} // namespace
