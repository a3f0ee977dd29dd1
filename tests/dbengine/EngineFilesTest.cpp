// Files: opening errors, locking across processes, crashed writers, damage, progress.
#include "EngineTestUtil.h"

#include <filesystem>
#include <fstream>
#include <sqlite3.h>
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
    const std::string big = "replace(hex(zeroblob(" + std::to_string(bigSize / 2) + ")), '0', 'z')";
    db->Execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
                std::to_string(rows) + ") INSERT INTO T SELECT x, CASE x WHEN " + std::to_string(bigRow) +
                " THEN " + big + " ELSE 'row ' || x END FROM c");
}

struct EngineFiles : ::testing::Test {
    ScratchDir dir;
};

} // namespace

TEST_F(EngineFiles, OpeningAndCreatingRefusals) {
    const std::string path = dir.File("base.mdb");
    MakeNumbers(path, 1);
    std::ofstream(dir.File("text.mdb")) << "This is not a database at all, just some text.";
    const std::tuple<std::function<void()>, int, const char*> cases[] = {
        {[&] { OpenDb(dir.File("none.mdb")); }, 3024, "Не удается найти файл"},
        {[&] { NewDb(dir.File("no/such/new.mdb")); }, 3044, "не является допустимым путем"},
        {[&] { NewDb(path); }, 3204, "База данных уже существует."},
        {[&] { OpenDb(dir.File("text.mdb")); }, 3343, "Нераспознаваемый формат базы данных"},
        {[&] { DBEngine::Instance().CompactDatabase(path, path); }, 3204, "База данных уже существует."}};
    for (const auto& [call, number, text] : cases) {
        const EngineError e = Catch(call);
        EXPECT_EQ(e.Number(), number) << text;
        EXPECT_NE(e.Description().find(text), std::string::npos) << e.Description();
    }
    EXPECT_FALSE(fs::exists(dir.File("no"))); // the refused creation left nothing behind
}

TEST_F(EngineFiles, NamesAreNeverUris) {
    const auto old = fs::current_path();
    fs::current_path(dir.Path());
    const std::string name = "file:x.mdb?mode=memory", copy = "file:copy.mdb?mode=memory";
    MakeNumbers(name, 1);
    DBEngine::Instance().CompactDatabase(name, copy);
    EXPECT_EQ(OpenDb(copy)->TableNames(), std::vector<std::string>{"T"});
    EXPECT_TRUE(fs::exists(dir.File(copy)));
    fs::current_path(old);
}

// A file that was only appended to gives nothing back; freed pages or an index not yet built
// call for a real compaction, and so does a file that cannot be read.
TEST_F(EngineFiles, IsCompactOnlyWhenACompactionWouldChangeNothing) {
    const std::string path = dir.File("n.mdb");
    MakeNumbers(path, 3000, 0, 0);
    EXPECT_TRUE(DBEngine::Instance().IsCompact(path));
    {
        auto db = OpenDb(path);
        TableDef t = db->CreateTableDef("U");
        t.Fields = {t.CreateField("Id", dbLong)};
        t.Indexes = {Index{.Name = "ById", .Fields = {{"Id"}}}};
        db->AppendTableDef(t);
        auto rs = db->OpenRecordset("U", dbOpenTable);
        rs->AddNew();
        rs->SetValue(0, int32_t{7});
        rs->Update();
    } // left without a close: its index is still to be built
    EXPECT_FALSE(DBEngine::Instance().IsCompact(path));
    OpenDb(path)->Close();
    EXPECT_TRUE(DBEngine::Instance().IsCompact(path));
    {
        auto db = OpenDb(path);
        db->Execute("DELETE FROM T WHERE Id > 100");
        db->Close();
    }
    EXPECT_FALSE(DBEngine::Instance().IsCompact(path));
    const std::string compact = dir.File("c.mdb");
    DBEngine::Instance().CompactDatabase(path, compact);
    EXPECT_TRUE(DBEngine::Instance().IsCompact(compact));
    EXPECT_FALSE(DBEngine::Instance().IsCompact(dir.File("missing.mdb")));
}

// The check split in two (one table beside the others) finds damage on either side, and a
// table the file does not have falls back to the whole check.
TEST_F(EngineFiles, IntegrityCheckWithATableApartSeesBothSides) {
    for (const std::string damaged : {"", "T", "U"}) {
        const std::string path = dir.File("i" + damaged + ".mdb");
        MakeNumbers(path, 2000);
        {
            auto db = OpenDb(path);
            TableDef u = db->CreateTableDef("U");
            u.Fields = {u.CreateField("Id", dbLong)};
            u.Indexes = {Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true}};
            db->AppendTableDef(u);
            db->Execute("INSERT INTO U SELECT Id FROM T");
            db->Close();
        }
        if (!damaged.empty()) {
            // The damaged table loses its root page.
            sqlite3* raw = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(raw, "SELECT rootpage FROM sqlite_schema WHERE type = 'table' AND name = ?1",
                               -1, &st, nullptr);
            sqlite3_bind_text(st, 1, damaged.c_str(), -1, SQLITE_TRANSIENT);
            ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
            const int64_t page = sqlite3_column_int64(st, 0);
            sqlite3_finalize(st);
            sqlite3_close(raw);
            std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp((page - 1) * 4096);
            f.write(std::string(4096, '\0').data(), 4096);
        }
        for (const std::string apart : {"T", "Missing", ""}) {
            const std::string report = OpenDb(path, true, true)->IntegrityCheck(apart);
            EXPECT_EQ(report.empty(), damaged.empty()) << damaged << " apart " << apart << ": " << report;
        }
    }
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
    }
    {
        Holder other(path, false, true); // readers share, an exclusive open waits for them
        ASSERT_TRUE(other.Opened());
        EXPECT_NO_THROW(OpenDb(path, false, true));
        EXPECT_EQ(Catch([&] { OpenDb(path, true, true); }).Number(), 3045);
    }
    auto first = OpenDb(path, true, false); // inside one process the same rules hold
    EXPECT_EQ(Catch([&] { OpenDb(path, true, false); }).Number(), 3356);
    EXPECT_FALSE(Holder(path, false, true).Opened());
    first.reset();
    EXPECT_NO_THROW(OpenDb(path, true, false)); // everybody has let go
}

TEST_F(EngineFiles, JournalOfACrashedWriterIsRolledBackNotLost) {
    const std::string path = dir.File("hot.mdb");
    MakeNumbers(path, 2000);
    if (::fork() == 0) {
        try {
            auto db = OpenDb(path, false, false);
            db->Execute("PRAGMA cache_size=5; BEGIN; UPDATE T SET Big = Big || ' changed'");
            ::_exit(0); // dies in the middle of the transaction
        } catch (...) {
        }
        ::_exit(2);
    }
    int status = 0;
    ::wait(&status);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_GT(fs::file_size(path + "-journal"), 0u);
    auto db = OpenDb(path, true, true);
    EXPECT_EQ(db->OpenRecordset("SELECT count(*) FROM T WHERE Big LIKE '% changed'")->GetValue(0),
              Value(int32_t(0)));
    EXPECT_EQ(db->OpenRecordset("T", dbOpenTable)->RecordCount(), 2000);
    EXPECT_FALSE(fs::exists(path + "-journal") && fs::file_size(path + "-journal") > 0);
}

// Row 5's overflow chain is broken, row 2 holds a value that does not fit its field.
TEST_F(EngineFiles, DamagedRowsAreStoppedAtAndSteppedPast) {
    const std::string path = dir.File("damaged.mdb");
    MakeNumbers(path, 9, 5, 20000);
    OpenDb(path)->Execute("UPDATE T SET Big = x'00ff' WHERE Id = 2");
    BreakOverflowChain(path);
    auto db = OpenDb(path, true, true);
    auto rs = db->OpenRecordset("T", dbOpenTable);
    EXPECT_EQ(rs->RecordCount(), 9);
    std::vector<int> readable, damaged;
    int visited = 0;
    for (; !rs->IsEOF() && visited < 100; rs->MoveNext(), ++visited) {
        const int number = Catch([&] { rs->GetValue("Big"); }).Number();
        EXPECT_TRUE(number == 0 || number == 3049) << number;
        // The local part of a damaged row still tells its key.
        (number ? damaged : readable).push_back(std::get<int32_t>(rs->GetValue("Id")));
    }
    EXPECT_EQ(damaged, (std::vector<int>{2, 5}));
    EXPECT_EQ(readable, (std::vector<int>{1, 3, 4, 6, 7, 8, 9}));
    db->Close();
    // A damaged source is not compacted, and stays as it was.
    const auto sizeBefore = fs::file_size(path);
    EXPECT_EQ(Catch([&] { DBEngine::Instance().CompactDatabase(path, dir.File("out.mdb")); }).Number(), 3049);
    EXPECT_FALSE(fs::exists(dir.File("out.mdb")));
    EXPECT_EQ(fs::file_size(path), sizeBefore);
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
    // A few late calls are tolerated (a shared machine), a hook silent for stretches is not.
    auto last = start;
    size_t late = 0;
    for (auto t : calls)
        late += t - std::exchange(last, t) >= std::chrono::milliseconds(50);
    EXPECT_LE(late * 10, calls.size()) << late << " of " << calls.size() << " calls came late";
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
    EXPECT_GE(calls.size() * 50, static_cast<size_t>(ms) * 9 / 10);

    // A hook that throws stops the statement and its exception comes back.
    db->SetProgressHook([](int64_t, int64_t) { throw std::runtime_error("stop"); });
    EXPECT_THROW(db->Execute("DELETE FROM T WHERE Big = 'r'"), std::runtime_error);
    db->SetProgressHook({});
    EXPECT_EQ(db->OpenRecordset("T", dbOpenTable)->RecordCount(), 3000001);
}
