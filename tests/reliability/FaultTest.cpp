// A disk that fills up or a write that fails, at each file-changing call of a run in turn:
// the main file keeps its bytes unless a sound repaired file replaced it after a complete
// archive, the run ends with its failure in the protocol or with an error and its location
// lines, and no half-written archive or compacted file takes a final name.
#include "ReliabilityUtil.h"

#include <cerrno>

using namespace k5rel;

namespace {

struct Folder {
    std::string name;
    std::string flags;
    bool mayReplace = false;        // a healthy main file: the run replaces it when nothing fails
    std::string original;           // main file bytes before the run
    RowSet repairedRows;            // main file rows after a run without faults (mayReplace)
    FaultLog log;                   // calls of a run without faults
    std::unique_ptr<Sandbox> model; // the folder as the runs start from it
};

// The demo folder as it is (planted damage: the run keeps the main file), and the same
// folder after one repair (healthy: the run replaces the main file).
Folder& Prepare(bool healthy) {
    static Folder folders[2];
    Folder& f = folders[healthy ? 1 : 0];
    if (f.model) return f;
    f.model = std::make_unique<Sandbox>();
    if (healthy)
        f.model->FillHealthy();
    else
        f.model->FillFromDemo();
    f.name = healthy ? "healthy" : "demo";
    f.flags = healthy ? "" : "--remove-orphaned --remove-orphaned-bigdocs";
    f.mayReplace = healthy;
    f.original = ReadFile(f.model->mainFile);
    // A run without faults, on a copy, gives the calls and the repaired rows.
    Sandbox probe;
    probe.FillFrom(*f.model);
    ChildResult r = probe.Run(f.flags, {"K5_TEST_FAULT_LOG=" + probe.root + "/fault.log"});
    EXPECT_TRUE(r.exited && r.code == (healthy ? 0 : 1)) << r.code << r.err << r.out;
    f.log = ReadFaultLog(probe.root + "/fault.log");
    f.repairedRows = ReadRows(probe.mainFile).value_or(RowSet{});
    if (healthy) {
        EXPECT_NE(ReadFile(probe.mainFile), f.original) << "the healthy folder was not replaced";
    }
    return f;
}

struct Case {
    int64_t k = 0;
    bool sticky = false; // ENOSPC from k on; else EIO at k alone
};

void CheckFaultCases(Folder& f, const std::vector<Case>& cases) {
    // A sweep of thousands of cases goes in slices: every case holds a copy of the folder.
    if (cases.size() > kSlice) {
        for (size_t i = 0; i < cases.size(); i += kSlice)
            CheckFaultCases(f, {cases.begin() + long(i), cases.begin() + long(std::min(cases.size(), i + kSlice))});
        return;
    }
    std::vector<std::unique_ptr<Sandbox>> boxes(cases.size());
    std::vector<ChildResult> runs(cases.size());
    for (auto& b : boxes) {
        b = std::make_unique<Sandbox>();
        b->FillFrom(*f.model);
    }
    Parallel(cases.size(), [&](size_t i) {
        const Case& c = cases[i];
        runs[i] = boxes[i]->Run(f.flags, {"K5_TEST_FAIL_AT_FS_CALL=" + std::to_string(c.k),
                                          "K5_TEST_FAIL_STICKY=" + std::string(c.sticky ? "1" : "0"),
                                          "K5_TEST_FAIL_ERRNO=" + std::to_string(c.sticky ? ENOSPC : EIO)});
    });
    for (size_t i = 0; i < cases.size(); ++i) {
        const Sandbox& s = *boxes[i];
        const ChildResult& r = runs[i];
        const Case& c = cases[i];
        SCOPED_TRACE(f.name + ": call " + std::to_string(c.k) + " (" + f.log.calls[c.k - 1] +
                     ") fails with " + (c.sticky ? "ENOSPC from then on" : "EIO once"));
        ASSERT_TRUE(r.exited) << "signal " << r.signal << (r.timedOut ? " (timed out)" : "") << r.err;
        if (r.code == 2) {
            EXPECT_NE(r.err.find("Непредвиденная ошибка"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("[K5VedovodeduzOR::"), std::string::npos) << "no location line: " << r.err;
        } else {
            EXPECT_TRUE(r.code == 0 || r.code == 1) << r.code;
            const bool closed = r.out.find("Профилактика БД завершена") != std::string::npos ||
                                r.out.find("Дальнейшая работа программы невозможна.") != std::string::npos;
            EXPECT_TRUE(closed) << r.out;
        }
        ASSERT_TRUE(FileExists(s.mainFile)) << "Korund5.mdb is missing\n" << r.out << r.err;
        const std::string now = ReadFile(s.mainFile);
        if (now != f.original) {
            EXPECT_TRUE(f.mayReplace) << "the main file changed although the run keeps it";
            EXPECT_EQ(Integrity(s.mainFile), "");
            EXPECT_TRUE(ReadRows(s.mainFile) == f.repairedRows)
                << "the main file is not the whole repaired one";
            EXPECT_FALSE(PlacesHolding(s, f.original).empty()) << "the old main file is nowhere";
        }
        EXPECT_EQ(BrokenArchives(s), "");
        // A failure reported as success: the exit code 0 only when the main file is whole.
        if (r.code == 0) {
            EXPECT_TRUE(now == f.original || f.mayReplace);
        }
    }
}

std::vector<Case> Sample(const FaultLog& log, int extra) {
    std::vector<Case> cases;
    const int64_t n = static_cast<int64_t>(log.calls.size());
    if (FullSweep()) {
        for (int64_t k = 1; k <= n; ++k) {
            cases.push_back({k, true});
            cases.push_back({k, false});
        }
        return cases;
    }
    std::set<int64_t> ks;
    for (int64_t k : Spread(n, 6 + extra))
        ks.insert(k);
    // The file steps at the end of the run (compaction, archive, swap) all.
    for (int64_t k = n; k >= 1 && ks.size() < size_t(20 + extra); --k) {
        const std::string& w = log.calls[k - 1];
        if (w != "db-write" && w != "db-sync" && w != "db-truncate") ks.insert(k);
    }
    bool sticky = false;
    for (int64_t k : ks) {
        cases.push_back({k, sticky});
        sticky = !sticky;
    }
    return cases;
}

TEST(Faults, DemoFolderKeepsItsMainFile) {
    Folder& f = Prepare(false);
    ASSERT_GT(f.log.calls.size(), 10u);
    const auto cases = Sample(f.log, 2 * Scale());
    CheckFaultCases(f, cases);
    RecordProperty("cases", int(cases.size()));
}

TEST(Faults, HealthyFolderReplacedOnlyWhole) {
    Folder& f = Prepare(true);
    ASSERT_GT(f.log.calls.size(), 10u);
    const auto cases = Sample(f.log, 2 * Scale());
    CheckFaultCases(f, cases);
    RecordProperty("cases", int(cases.size()));
}

// A real full disk: the healthy folder on a small memory file system of its own, mounted in
// a user and mount namespace, for a range of sizes from "just fits" to "almost enough".
TEST(Faults, SmallDiskInUserNamespace) {
    int probe = -1;
    k5test::Shell("unshare -rm sh -c 'mount -t tmpfs -o size=64k tmpfs /mnt' 2>/dev/null", &probe);
    if (probe != 0) GTEST_SKIP() << "unshare -rm with a tmpfs mount is not allowed here";
    Folder& f = Prepare(true);
    int64_t used = 0;
    for (const std::string& line : {k5test::Shell("du -sk " + k5test::Quote(f.model->folder) + " | cut -f1")})
        used = std::atoll(line.c_str());
    ASSERT_GT(used, 0);
    // The run needs room for the new file, its compacted copy, the archive and the logs.
    std::vector<int64_t> sizes;
    const int count = FullSweep() ? 60 : 5 + 3 * Scale();
    for (int64_t extra : Spread(1200, count))
        sizes.push_back(used + 16 + extra);
    std::vector<std::unique_ptr<Sandbox>> boxes(sizes.size());
    std::vector<ChildResult> runs(sizes.size());
    for (auto& b : boxes)
        b = std::make_unique<Sandbox>();
    Parallel(sizes.size(), [&](size_t i) {
        Sandbox& s = *boxes[i];
        const std::string mnt = s.root + "/mnt", after = s.root + "/after";
        const std::string script = "set -e; mount -t tmpfs -o size=" + std::to_string(sizes[i]) +
                                   "k tmpfs \"$MNT\"; mkdir \"$MNT/db\" " +
                                   "\"$MNT/data\"; cp -a \"$MODEL\"/. \"$MNT/db/\"; set +e; " +
                                   "XDG_DATA_HOME=\"$MNT/data\" \"$PROGRAM\" --batch --folder \"$MNT/db\" "
                                   ">\"$AFTER.out\" 2>\"$AFTER.err\"; " +
                                   "code=$?; cp -a \"$MNT\" \"$AFTER\"; exit $code";
        QDir().mkpath(QString::fromStdString(mnt));
#ifdef K5_MAIN_PROGRAM
        runs[i] =
            RunChild({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script},
                     {"MNT=" + mnt, "AFTER=" + after, "MODEL=" + f.model->folder, "PROGRAM=" K5_MAIN_PROGRAM,
                      "XDG_CONFIG_DIRS=" + s.root + "/etc", "QT_QPA_PLATFORM=offscreen", "HOME=" + mnt},
                     120, s.root);
#endif
        runs[i].out = ReadFile(after + ".out");
        runs[i].err = ReadFile(after + ".err");
    });
    int replaced = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        Sandbox& s = *boxes[i];
        const ChildResult& r = runs[i];
        SCOPED_TRACE("file system of " + std::to_string(sizes[i]) + " KB for a folder of " +
                     std::to_string(used) + " KB");
        s.folder = s.root + "/after/db";
        s.mainFile = s.folder + "/Korund5.mdb";
        s.protocolFolder = s.folder + "/Профилактика_БД";
        s.trashFiles = s.root + "/after/data/Trash/files";
        ASSERT_TRUE(r.exited) << r.signal;
        ASSERT_TRUE(r.code == 0 || r.code == 1 || r.code == 2) << r.code << r.err;
        if (r.code == 2) {
            EXPECT_NE(r.err.find("[K5VedovodeduzOR::"), std::string::npos) << r.err;
        } else {
            EXPECT_TRUE(r.out.find("Профилактика БД завершена") != std::string::npos ||
                        r.out.find("Дальнейшая работа программы невозможна.") != std::string::npos)
                << r.out << r.err;
        }
        ASSERT_TRUE(FileExists(s.mainFile)) << r.out << r.err;
        if (ReadFile(s.mainFile) != f.original) {
            ++replaced;
            EXPECT_EQ(Integrity(s.mainFile), "");
            EXPECT_TRUE(ReadRows(s.mainFile) == f.repairedRows);
            EXPECT_FALSE(PlacesHolding(s, f.original).empty());
        }
        EXPECT_EQ(BrokenArchives(s), "");
    }
    RecordProperty("cases", int(sizes.size()));
    RecordProperty("replaced", replaced);
}

} // namespace
