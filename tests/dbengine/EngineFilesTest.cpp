// Files: opening errors, locking across processes, crashed writers, damage, compaction, progress.
#include "EngineTestUtil.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

namespace {

namespace fs = std::filesystem;

void MakeNumbers(const std::string& path, int rows, int bigRow = 0, size_t bigSize = 0) {
    auto db = NewDb(path);
    TableDef t = db->CreateTableDef("T");
    t.Fields = {t.CreateField("Id", dbLong), t.CreateField("Big", dbMemo)};
    t.Indexes = {Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true}};
    db->AppendTableDef(t);
    auto rs = db->OpenRecordset("T", dbOpenTable);
    for (int i = 1; i <= rows; ++i) {
        rs->AddNew();
        rs->SetValue("Id", int32_t(i));
        rs->SetValue("Big", i == bigRow ? std::string(bigSize, 'z') : "row " + std::to_string(i));
        rs->Update();
    }
    rs->Close();
    db->Close();
}

struct EngineFiles : ::testing::Test {
    ScratchDir dir;
};

} // namespace

TEST_F(EngineFiles, OpeningAndCreatingRefusals) {
    const std::string path = dir.File("base.mdb");
    MakeNumbers(path, 1);
    struct Case {
        const char* what;
        std::function<void()> call;
        int number;
        const char* text;
    };
    std::ofstream(dir.File("text.mdb")) << "This is not a database at all, just some text.";
    std::ofstream(dir.File("empty.mdb")).close();
    const Case cases[] = {
        {"missing file", [&] { OpenDb(dir.File("none.mdb")); }, 3024, "Не удается найти файл"},
        {"missing folder", [&] { NewDb(dir.File("no/such/new.mdb")); }, 3044, "не является допустимым путем"},
        {"existing file", [&] { NewDb(path); }, 3204, "База данных уже существует."},
        {"text file", [&] { OpenDb(dir.File("text.mdb")); }, 3343, "Нераспознаваемый формат базы данных"},
        {"empty file", [&] { OpenDb(dir.File("empty.mdb")); }, 3343, "Нераспознаваемый формат базы данных"},
        {"compact onto existing", [&] { DBEngine::Instance().CompactDatabase(path, path); }, 3204,
         "База данных уже существует."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const EngineError e = Catch(c.call);
        EXPECT_EQ(e.Number(), c.number);
        EXPECT_NE(e.Description().find(c.text), std::string::npos) << e.Description();
    }
    // The refused creation left nothing behind.
    EXPECT_FALSE(fs::exists(dir.File("no")));
}

TEST_F(EngineFiles, NamesAreNeverUris) {
    const auto old = fs::current_path();
    fs::current_path(dir.Path());
    const std::string name = "file:x.mdb?mode=memory";
    {
        auto db = NewDb(name);
        TableDef t = db->CreateTableDef("T");
        t.Fields = {t.CreateField("A", dbLong)};
        db->AppendTableDef(t);
        db->Close();
    }
    EXPECT_TRUE(fs::exists(dir.File(name)));
    EXPECT_EQ(OpenDb(name)->TableNames(), std::vector<std::string>{"T"});
    const std::string copy = "file:copy.mdb?mode=memory";
    DBEngine::Instance().CompactDatabase(name, copy);
    EXPECT_TRUE(fs::exists(dir.File(copy)));
    fs::current_path(old);
}

TEST_F(EngineFiles, ExclusiveOpenFailsWhileAnotherProcessHoldsTheFile) {
    const std::string path = dir.File("lock.mdb");
    MakeNumbers(path, 3);
    {
        Holder other(path, true, true); // exclusive, as the maintenance opens its source
        ASSERT_TRUE(other.Opened());
        const EngineError e = Catch([&] { OpenDb(path, true, false); });
        EXPECT_TRUE(e.Number() == 3356 || e.Number() == 3045) << e.Number();
        EXPECT_NE(e.Description().find(path), std::string::npos);
        EXPECT_EQ(Catch([&] { OpenDb(path, false, true); }).Number(), 3356);
        EXPECT_EQ(Catch([&] { DBEngine::Instance().CompactDatabase(path, dir.File("c.mdb")); }).Number(),
                  3356);
    }
    {
        Holder other(path, false, true); // shared reader
        ASSERT_TRUE(other.Opened());
        EXPECT_EQ(Catch([&] { OpenDb(path, true, true); }).Number(), 3045);
        EXPECT_NO_THROW(OpenDb(path, false, true)); // readers share
    }
    {
        // Inside one process the same rules hold.
        auto first = OpenDb(path, true, false);
        EXPECT_EQ(Catch([&] { OpenDb(path, true, false); }).Number(), 3356);
        Holder other(path, false, true);
        EXPECT_FALSE(other.Opened());
    }
    EXPECT_NO_THROW(OpenDb(path, true, false)); // everybody has let go
}

TEST_F(EngineFiles, JournalOfACrashedWriterIsRolledBackNotLost) {
    const std::string path = dir.File("hot.mdb");
    MakeNumbers(path, 2000);
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            auto db = OpenDb(path, false, false);
            db->Execute("PRAGMA cache_size=5");
            db->Execute("BEGIN");
            db->Execute("UPDATE T SET Big = Big || ' changed'");
            ::_exit(0); // dies in the middle of the transaction
        } catch (...) {
            ::_exit(2);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(fs::exists(path + "-journal"));
    ASSERT_GT(fs::file_size(path + "-journal"), 0u);

    auto db = OpenDb(path, true, true);
    EXPECT_EQ(db->IntegrityCheck(), "");
    auto rs = db->OpenRecordset("SELECT count(*) FROM T WHERE Big LIKE '% changed'");
    EXPECT_EQ(rs->GetValue(0), Value(int32_t(0)));
    EXPECT_EQ(db->OpenRecordset("T", dbOpenTable)->RecordCount(), 2000);
    EXPECT_FALSE(fs::exists(path + "-journal") && fs::file_size(path + "-journal") > 0);
}

TEST_F(EngineFiles, DamagedRowIsStoppedAtAndSteppedPast) {
    const std::string path = dir.File("damaged.mdb");
    MakeNumbers(path, 9, 5, 20000);
    BreakOverflowChain(path);

    auto db = OpenDb(path, true, true);
    auto rs = db->OpenRecordset("T", dbOpenTable);
    EXPECT_EQ(rs->RecordCount(), 9);
    std::vector<int> readable, damaged;
    int visited = 0;
    for (; !rs->IsEOF() && visited < 100; rs->MoveNext(), ++visited) {
        bool bad = false;
        for (int i = 0; i < rs->FieldCount(); ++i) {
            const EngineError e = Catch([&] { rs->GetValue(i); });
            if (e.Number() != 0) {
                EXPECT_EQ(e.Number(), 3049);
                bad = true;
            }
        }
        // The local part of a damaged row still tells its key.
        const int id = std::get<int32_t>(rs->GetValue("Id"));
        (bad ? damaged : readable).push_back(id);
    }
    EXPECT_EQ(visited, 9);
    EXPECT_EQ(damaged, std::vector<int>{5});
    EXPECT_EQ(readable, (std::vector<int>{1, 2, 3, 4, 6, 7, 8, 9}));
    EXPECT_NE(db->IntegrityCheck(), "");
    db->Close();

    // A damaged source is not compacted, and stays as it was.
    const auto sizeBefore = fs::file_size(path);
    const EngineError e = Catch([&] { DBEngine::Instance().CompactDatabase(path, dir.File("out.mdb")); });
    EXPECT_EQ(e.Number(), 3049);
    EXPECT_FALSE(fs::exists(dir.File("out.mdb")));
    EXPECT_EQ(fs::file_size(path), sizeBefore);
}

TEST_F(EngineFiles, StoredValueOfTheWrongKindIsUnreadable) {
    const std::string path = dir.File("kind.mdb");
    MakeNumbers(path, 3);
    {
        auto db = OpenDb(path);
        db->Execute("UPDATE T SET Big = x'00ff' WHERE Id = 2"); // a blob in a text field
    }
    auto db = OpenDb(path, true, true);
    auto rs = db->OpenRecordset("T", dbOpenTable);
    rs->MoveNext();
    EXPECT_EQ(rs->GetValue("Id"), Value(int32_t(2)));
    EXPECT_EQ(Catch([&] { rs->GetValue("Big"); }).Number(), 3049);
    rs->MoveNext();
    EXPECT_EQ(rs->GetValue("Big"), Value(std::string("row 3")));
}

TEST_F(EngineFiles, CompactionKeepsRowsAndLeavesTheSourceAlone) {
    const std::string path = dir.File("src.mdb");
    MakeNumbers(path, 500);
    {
        auto db = OpenDb(path);
        db->Execute("DELETE FROM T WHERE Id > 100");
    }
    std::ifstream in(path, std::ios::binary);
    const std::string before((std::istreambuf_iterator<char>(in)), {});
    const std::string out = dir.File("out.mdb");
    DBEngine::Instance().CompactDatabase(path, out);
    std::ifstream again(path, std::ios::binary);
    EXPECT_EQ(before, std::string((std::istreambuf_iterator<char>(again)), {}));
    EXPECT_LE(fs::file_size(out), fs::file_size(path));
    auto db = OpenDb(out, true, true);
    EXPECT_EQ(db->OpenRecordset("T", dbOpenTable)->RecordCount(), 100);
    EXPECT_EQ(db->Version(), "4.0");
    EXPECT_NE(DBEngine::Instance().Version().find(" (SQLite 3."), std::string::npos);
}

TEST_F(EngineFiles, LongStatementsCallTheProgressHook) {
    const std::string path = dir.File("slow.mdb");
    MakeNumbers(path, 1);
    auto db = OpenDb(path);
    std::vector<std::chrono::steady_clock::time_point> calls;
    // The hook serves the caller's event loop: it must never be called from another thread.
    bool foreignThread = false;
    db->SetProgressHook([&, caller = std::this_thread::get_id()](int64_t, int64_t) {
        calls.push_back(std::chrono::steady_clock::now());
        foreignThread = foreignThread || std::this_thread::get_id() != caller;
    });
    const auto start = std::chrono::steady_clock::now();
    db->Execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3000000) "
                "INSERT INTO T (Id, Big) SELECT x + 1, 'r' FROM c");
    const auto end = std::chrono::steady_clock::now();
    EXPECT_FALSE(foreignThread);
    ASSERT_GT(end - start, std::chrono::milliseconds(200)) << "too fast to tell";
    ASSERT_FALSE(calls.empty());
    // On a shared machine the process itself may be descheduled now and then: a few late calls
    // are tolerated, a hook that stays silent for stretches is not.
    auto last = start;
    size_t late = 0;
    for (auto t : calls) {
        if (t - last >= std::chrono::milliseconds(50)) ++late;
        last = t;
    }
    EXPECT_LE(late * 10, calls.size()) << late << " of " << calls.size() << " calls came late";
    EXPECT_GE(
        calls.size() * 50,
        static_cast<size_t>(std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count()) * 9 /
            10);

    // A hook that throws stops the statement and its exception comes back.
    db->SetProgressHook([](int64_t, int64_t) { throw std::runtime_error("stop"); });
    EXPECT_THROW(db->Execute("DELETE FROM T WHERE Big = 'r'"), std::runtime_error);
    db->SetProgressHook({});
    EXPECT_EQ(db->OpenRecordset("T", dbOpenTable)->RecordCount(), 3000001);
}

TEST_F(EngineFiles, EngineHookReachesCompactionOfABigFile) {
    const std::string path = dir.File("big.mdb");
    {
        auto db = NewDb(path);
        db->Execute("CREATE TABLE Big (Id LONG, Txt LONGTEXT)");
        db->Execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 400000) "
                    "INSERT INTO Big SELECT x, hex(randomblob(40)) FROM c");
        db->Close();
    }
    int calls = 0;
    DBEngine::Instance().SetProgressHook([&](int64_t, int64_t) { ++calls; });
    const auto start = std::chrono::steady_clock::now();
    DBEngine::Instance().CompactDatabase(path, dir.File("big2.mdb"));
    const auto took = std::chrono::steady_clock::now() - start;
    DBEngine::Instance().SetProgressHook({});
    EXPECT_TRUE(calls > 0 || took <= std::chrono::milliseconds(150)) << calls;
    EXPECT_EQ(OpenDb(dir.File("big2.mdb"), true, true)->OpenRecordset("Big", dbOpenTable)->RecordCount(),
              400000);
}
