// A run meets another run or another program on its folder: the second run is refused, and
// nothing another program commits to the main file during a run is lost.
#include "ReliabilityUtil.h"

using namespace k5rel;

namespace {

// The BigDocs compaction with its one-second pauses: a long stretch after the copy, where a
// second run or a writer used to slip in.
const std::string kLongRun = "--compact-bigdocs --zip-and-rename";
const std::vector<std::string> kWithPauses{"K5_TEST_SHORT_PAUSES=0"};

void Sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

TEST(Concurrency, SecondRunOnTheSameFolder) {
    const Reference ref = CleanRun(Sandbox::Demo(), kLongRun, 1);
    // The second run starts at points spread over the first (about 9 s with its pauses; one
    // just before it) and is stopped with Ctrl+C at points spread over its own copy, or not
    // at all.
    struct Case {
        double start, stop; // seconds after the first run's start; stop 0: never
    };
    std::vector<Case> cases{{-0.3, 1.6}};
    const int n = 4 + 4 * Scale();
    for (int i = 0; i < n; ++i)
        cases.push_back({0.5 + 6.0 * i / (n - 1), i % 3 == 2 ? 0 : 1.1 + 0.3 * (i % 5)});
    std::vector<std::pair<ChildResult, ChildResult>> runs(cases.size());
    std::vector<std::unique_ptr<Sandbox>> boxes(cases.size());
    for (auto& box : boxes)
        (box = std::make_unique<Sandbox>())->FillFromDemo();
    Parallel(cases.size(), [&](size_t i) {
        Sandbox& s = *boxes[i];
        const Case c = cases[i];
        pid_t second = -1;
        if (c.start < 0) second = s.Start(kLongRun, kWithPauses, "b"), Sleep(-c.start);
        const pid_t first = s.Start(kLongRun, kWithPauses, "a");
        if (c.start >= 0) Sleep(c.start), second = s.Start(kLongRun, kWithPauses, "b");
        if (c.stop > 0) Sleep(c.stop), ::kill(second, SIGINT);
        runs[i] = {s.Wait(first, "a"), s.Wait(second, "b")};
    });
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("second run at " + std::to_string(cases[i].start) + " s, stopped after " +
                     std::to_string(cases[i].stop) + " s");
        const Sandbox& s = *boxes[i];
        const auto& [a, b] = runs[i];
        ExpectVerdictOrTrail(a);
        ExpectVerdictOrTrail(b);
        // Whichever run replaced the main file, it put the whole repaired file in place.
        CheckFolder(s, ref.original, &ref.repairedRows);
        // The run that found the folder taken says so in its check pass.
        int refused = 0;
        for (const ChildResult* r : {&a, &b})
            if (r->out.find("Дальнейшая работа программы невозможна.") != std::string::npos && ++refused)
                EXPECT_NE(r->out.find("не удалось открыть в монопольном режиме"), std::string::npos) << r->out;
        EXPECT_GT(refused, 0) << a.out << "\n----\n" << b.out;
    }
    // The folder is not wedged: a later run completes.
    Parallel(cases.size(), [&](size_t i) { runs[i].first = boxes[i]->Run("--zip-and-rename"); });
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(runs[i].first.exited && runs[i].first.code <= 1) << runs[i].first.err;
        EXPECT_NE(runs[i].first.out.find("Профилактика БД завершена"), std::string::npos)
            << runs[i].first.out;
    }
    ::testing::Test::RecordProperty("cases", int(cases.size()));
}

// Another program inserts rows through SQLite all through a run: every row it was allowed to
// commit is in the main file afterwards.
TEST(Concurrency, WriterDuringTheRun) {
    const int n = 2 + Scale();
    std::vector<std::unique_ptr<Sandbox>> boxes(n);
    std::vector<ChildResult> runs(n);
    std::vector<std::vector<int>> committed(n);
    std::vector<int> attempts(n);
    for (auto& box : boxes)
        (box = std::make_unique<Sandbox>())->FillFromDemo();
    Parallel(n, [&](size_t i) {
        Sandbox& s = *boxes[i];
        const pid_t pid = s.Start(kLongRun, kWithPauses);
        std::atomic<bool> done{false};
        std::jthread writer([&] {
            // A fresh connection each time, as a program that opens the file for each change.
            for (int k = 0; !done; ++k, ++attempts[i], Sleep(0.005)) {
                Db db(s.mainFile, true);
                if (db.Each("INSERT INTO PermBlocks(BlockType, AreaType, PermObjectID) VALUES (7, 7, " +
                            std::to_string(900000 + k) + ")"))
                    committed[i].push_back(900000 + k);
            }
        });
        runs[i] = s.Wait(pid);
        done = true;
    });
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        ExpectVerdictOrTrail(runs[i]);
        const std::vector<std::string> rows =
            Db(boxes[i]->mainFile).Column("SELECT PermObjectID FROM PermBlocks WHERE PermObjectID >= 900000");
        const std::set<std::string> present(rows.begin(), rows.end());
        int lost = 0;
        for (int k : committed[i])
            lost += present.count(std::to_string(k)) == 0;
        EXPECT_EQ(lost, 0) << "of " << committed[i].size() << " committed rows\n" << runs[i].out;
        // A run that met an insert at its check refuses the file as in use (exit code 1).
        std::printf("[ figures  ] run %d (exit code %d): %zu of %d inserts committed, the rest refused\n", i,
                    runs[i].code, committed[i].size(), attempts[i]);
    }
}

} // namespace
