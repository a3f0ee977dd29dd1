// A full disk or a failing write at each file-changing call in turn: the main file keeps its
// bytes unless a sound repaired one replaced it after a complete archive, the run reports the
// failure, and no half-written archive or compacted file takes a final name.
#include "ReliabilityUtil.h"

#include <cerrno>
#include <cstring>
#include <gmock/gmock.h>

using namespace k5rel;

namespace {

struct Folder {
    std::string model, flags; // the folder as the runs start from it, the run's flags
    Reference ref;
};

// The demo folder as it is (planted damage: the run keeps the main file), and the same
// folder after one repair (healthy: the run replaces the main file).
Folder& Prepare(bool healthy) {
    static Folder folders[2];
    Folder& f = folders[healthy ? 1 : 0];
    if (!f.model.empty()) return f;
    f.model = healthy ? Sandbox::Healthy() : Sandbox::Demo();
    f.flags = healthy ? "" : "--remove-orphaned --remove-orphaned-bigdocs";
    f.ref = CleanRun(f.model, f.flags, healthy ? 0 : 1);
    EXPECT_EQ(f.ref.replaced, healthy) << "a run without faults on " << f.model;
    return f;
}

void CheckFaultCases(bool healthy) {
    Folder& f = Prepare(healthy);
    ASSERT_GT(f.ref.log.calls.size(), 10u);
    // (k, sticky): ENOSPC from call k on, or EIO at k alone; both in a full sweep.
    std::vector<std::pair<int64_t, bool>> all;
    bool sticky = false;
    for (int64_t k : CallPoints(f.ref.log, 6 + 2 * Scale(), 20 + 2 * Scale(), false)) {
        if (FullSweep()) all.push_back({k, true});
        all.push_back({k, sticky && !FullSweep()});
        sticky = !sticky;
    }
    InSlices(all, 96, [&](const std::vector<std::pair<int64_t, bool>>& cases) {
        Batch b(
            cases.size(), [&](size_t, Sandbox& s) { s.FillFrom(f.model); },
            [&](size_t i, Sandbox& s) {
                const auto [k, sticky] = cases[i];
                return s.Run(f.flags, {"K5_TEST_FAIL_AT_FS_CALL=" + std::to_string(k),
                                       std::string("K5_TEST_FAIL_STICKY=") + (sticky ? "1" : "0"),
                                       "K5_TEST_FAIL_ERRNO=" + std::to_string(sticky ? ENOSPC : EIO)});
            });
        for (size_t i = 0; i < cases.size(); ++i) {
            const auto [k, sticky] = cases[i];
            const ChildResult& r = b.runs[i];
            SCOPED_TRACE(std::string(healthy ? "healthy" : "demo") + ": call " + std::to_string(k) + " (" +
                         f.ref.log.calls[k - 1] + ") fails with " +
                         (sticky ? "ENOSPC from then on" : "EIO once"));
            if (!ExpectVerdictOrTrail(r)) continue;
            EXPECT_TRUE(r.code != 2 || r.err.find("Непредвиденная ошибка") != std::string::npos) << r.err;
            EXPECT_TRUE(!CheckFolder(*b.boxes[i], f.ref.original, &f.ref.repairedRows) || healthy)
                << "the main file changed although the run keeps it";
        }
    });
    ::testing::Test::RecordProperty("cases", int(all.size()));
}

TEST(Faults, DemoFolderKeepsItsMainFile) {
    CheckFaultCases(false);
}

TEST(Faults, HealthyFolderReplacedOnlyWhole) {
    CheckFaultCases(true);
}

// A real full disk: the healthy folder on a small memory file system of its own, mounted in
// a user and mount namespace, for a range of sizes from "just fits" to "almost enough".
TEST(Faults, SmallDiskInUserNamespace) {
    if (std::system("unshare -rm sh -c 'mount -t tmpfs -o size=64k tmpfs /mnt' 2>/dev/null") != 0)
        GTEST_SKIP() << "unshare -rm with a tmpfs mount is not allowed here";
    Folder& f = Prepare(true);
    const int64_t used = std::atoll(k5test::Shell("du -sk " + Quote(f.model)).c_str());
    ASSERT_GT(used, 0);
    // The run needs room for the new file, its compacted copy, the archive and the logs.
    const std::vector<int64_t> extras = Spread(1200, FullSweep() ? 60 : 5 + 3 * Scale());
    // The memory file system on "mnt" exists only in the run's namespace: "after" keeps its state.
    const std::string script =
        "cd \"$0\" && mount -t tmpfs -o size=\"$2\"k tmpfs mnt && mkdir mnt/db mnt/data && "
        "cp -a \"$1\"/. mnt/db/ || exit 99; shift 2; \"$@\"; code=$?; cp -a mnt after; exit $code";
    Batch b(
        extras.size(),
        [&](size_t i, Sandbox& s) {
            fs::create_directories(s.root + "/mnt");
            s.SetFolder(s.root + "/mnt/db", s.root + "/mnt/data");
            s.wrapper = {"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script, s.root, f.model};
            s.wrapper.push_back(std::to_string(used + 16 + extras[i]));
        },
        [](size_t, Sandbox& s) { return s.Run("", {"HOME=" + s.root + "/mnt"}); });
    int replaced = 0;
    for (size_t i = 0; i < extras.size(); ++i) {
        Sandbox& s = *b.boxes[i];
        SCOPED_TRACE("file system of " + std::to_string(used + 16 + extras[i]) + " KB for a folder of " +
                     std::to_string(used) + " KB");
        s.SetFolder(s.root + "/after/db", s.root + "/after/data");
        if (ExpectVerdictOrTrail(b.runs[i])) replaced += CheckFolder(s, f.ref.original, &f.ref.repairedRows);
    }
    RecordProperty("cases", int(extras.size()));
    RecordProperty("replaced", replaced);
}

// A disk that drops a write of the compacted file unnoticed: the file then fails its check
// and does not replace the main file; the repaired copy stays under its own name.
TEST(Faults, LostWriteOfTheCompactedFileKeepsTheMainFile) {
    // The run compacts into that name once or twice (the intermediate compaction only when it
    // gives space back), the same rows each time: the last compaction holds at least the second
    // half of all writes into it.
    int64_t writes = 0;
    {
        Sandbox s;
        s.FillHealthy();
        const std::string log = s.root + "/faults.log";
        const ChildResult r = s.Run("", {"K5_TEST_LOSE_WRITE=Korund5_Compact.mdb:1000000000", "K5_TEST_FAULT_LOG=" + log});
        ASSERT_TRUE(r.exited && r.code == 0) << r.out << r.err;
        std::istringstream in(ReadFile(log));
        for (std::string line; std::getline(in, line);)
            writes += line.starts_with("write ");
        ASSERT_GT(writes, 40);
    }
    for (const int64_t write : {writes * 5 / 8, writes * 7 / 8}) {
        SCOPED_TRACE("write " + std::to_string(write) + " lost");
        Sandbox s;
        s.FillHealthy();
        const std::string before = ReadFile(s.mainFile);
        const ChildResult r = s.Run("", {"K5_TEST_LOSE_WRITE=Korund5_Compact.mdb:" + std::to_string(write)});
        EXPECT_TRUE(r.exited && r.code == 1) << r.code << r.out << r.err;
        EXPECT_TRUE(ReadFile(s.mainFile) == before) << "the main file was replaced";
        EXPECT_NE(r.out.find("Проверка сжатого файла БД " + s.folder + "/Korund5_Compact.mdb не пройдена:"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("Исходный файл БД (Korund5.mdb) оставлен без изменений."), std::string::npos);
        EXPECT_TRUE(fs::exists(s.folder + "/Korund5_Prophylaxis.mdb"));
        EXPECT_FALSE(fs::exists(s.folder + "/Korund5_Compact.mdb"));
    }
}

// A full disk at the flush of the compacted file, which runs on a helper thread: the error
// names the full disk, not whatever the window's thread last left in errno.
TEST(Faults, FlushOfTheCompactedFileOnAFullDisk) {
    Folder& f = Prepare(true);
    // The compacted file's flush (file, then folder) comes right before the new file is removed
    // and the archive is made.
    const auto& calls = f.ref.log.calls;
    // The archive made beside the copy is renamed into place ("zip-adopt") right after the new
    // file's removal; made at its step, the removal of an old archive comes in between.
    const auto adopt = std::find(calls.begin(), calls.end(), "zip-adopt");
    const auto zip = adopt != calls.end() ? adopt : std::find(calls.begin(), calls.end(), "zip-create");
    const int unlinks = adopt != calls.end() ? 1 : 2;
    ASSERT_TRUE(zip - calls.begin() >= unlinks + 2 && zip[-1] == "unlink" && zip[-unlinks] == "unlink" &&
                zip[-unlinks - 1] == "fsync" && zip[-unlinks - 2] == "fsync");
    const int64_t k = zip - calls.begin() - unlinks - 1; // 1-based number of the file's flush
    Sandbox s;
    s.FillFrom(f.model);
    const ChildResult r =
        s.Run(f.flags, {"K5_TEST_FAIL_AT_FS_CALL=" + std::to_string(k), "K5_TEST_FAIL_ERRNO=28"});
    ExpectVerdictOrTrail(r);
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, ::testing::AllOf(::testing::HasSubstr("Непредвиденная ошибка 28:"),
                                        ::testing::HasSubstr("Korund5_Compact.mdb\" на диск:\n" +
                                                             std::string(std::strerror(ENOSPC)))));
    EXPECT_EQ(ReadFile(s.mainFile), f.ref.original);
}

} // namespace
