// The salvage peer (bench/recover_peer.sh, the sqlite3 shell's .recover with the k5recover
// extension) gives back every table of a demo main file under its own name, row for row; a
// zeroed leaf page costs exactly the rows it held; when it cannot run it says why in one line.
#include "common/TestUtil.h"
#include "dbengine/EngineTestUtil.h"
#include "dbengine/K5Collation.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sqlite3.h>

using k5::db::test::ScratchDir;
using k5test::Quote;

namespace {

const std::string kScript = std::string(K5_SOURCE_DIR) + "/bench/recover_peer.sh";

class Conn {
public:
    explicit Conn(const std::string& path) {
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &mDb, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK) << path;
        sqlite3_create_collation(mDb, "K5RU", SQLITE_UTF8, nullptr,
                                 [](void*, int na, const void* a, int nb, const void* b) {
                                     return k5::db::collation::Compare(static_cast<const char*>(a), na,
                                                                       static_cast<const char*>(b), nb);
                                 });
    }
    ~Conn() { sqlite3_close(mDb); }
    // The first column of each row; a failed statement fails the test unless `mayFail`, and
    // gives nothing.
    std::vector<std::string> Column(const std::string& sql, bool mayFail = false) const {
        std::vector<std::string> out;
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(mDb, sql.c_str(), -1, &st, nullptr);
        if (rc == SQLITE_OK)
            while ((rc = sqlite3_step(st)) == SQLITE_ROW)
                out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        if (rc == SQLITE_DONE) return out;
        EXPECT_TRUE(mayFail) << sql << ": " << sqlite3_errmsg(mDb);
        return {};
    }

private:
    sqlite3* mDb = nullptr;
};

// Rows per table, the file's own catalogue tables included.
std::map<std::string, int64_t> Counts(const std::string& path) {
    Conn c(path);
    std::map<std::string, int64_t> counts;
    for (const std::string& t :
         c.Column("SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite_%'")) {
        const auto n = c.Column("SELECT count(*) FROM \"" + t + "\"");
        counts[t] = n.empty() ? -1 : std::stoll(n[0]);
    }
    return counts;
}

struct PeerRun {
    int status = -1;
    std::vector<std::string> errors; // non-empty lines on stderr
};

// Runs the script with `args` (and `env`, "NAME=value ..."); its standard error goes to `errFile`.
PeerRun RunPeer(const std::string& env, const std::string& args, const std::string& errFile) {
    PeerRun r;
    k5test::Shell(env + " " + Quote(kScript) + " " + args + " 2>" + Quote(errFile), &r.status);
    std::istringstream err(k5test::ReadAll(errFile));
    for (std::string line; std::getline(err, line);)
        if (!line.empty()) r.errors.push_back(line);
    return r;
}

// Zeroes the second leaf page of the table with the most leaf pages (of those whose tree reads
// whole: the demo breaks one overflow chain); gives the table and the rows it held.
std::pair<std::string, int64_t> ZeroLeafPage(const std::string& path) {
    std::string table;
    int64_t leaves = 0, page = 0, cells = 0, pageSize = 0;
    {
        Conn c(path);
        for (const std::string& t : c.Column("SELECT name FROM sqlite_schema WHERE type = 'table'")) {
            const auto n =
                c.Column("SELECT count(*) FROM dbstat WHERE name = '" + t + "' AND pagetype = 'leaf'", true);
            if (!n.empty() && std::stoll(n[0]) > leaves) table = t, leaves = std::stoll(n[0]);
        }
        EXPECT_GE(leaves, 2);
        const std::string leaf =
            "FROM dbstat WHERE name = '" + table + "' AND pagetype = 'leaf' ORDER BY path LIMIT 1 OFFSET 1";
        page = std::stoll(c.Column("SELECT pageno " + leaf).at(0));
        cells = std::stoll(c.Column("SELECT ncell " + leaf).at(0));
        pageSize = std::stoll(c.Column("PRAGMA page_size").at(0));
    }
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp((page - 1) * pageSize);
    f.write(std::string(size_t(pageSize), '\0').data(), pageSize);
    EXPECT_TRUE(f.good());
    return {table, cells};
}

} // namespace

TEST(RecoverPeer, GivesBackEveryTableRowForRow) {
    if (std::system("sqlite3 -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "needs the sqlite3 shell";
    struct Case {
        const char* name;
        bool zeroLeaf;
        bool buildFromEnv;
    };
    for (const Case& c : {Case{"intact file, build folder as argument", false, false},
                          Case{"a zeroed leaf page, build folder from K5_BUILD_DIR", true, true}}) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string source = dir.File("demo/Korund5.mdb"), out = dir.File("recovered.db");
        int made = -1;
        k5test::Shell(Quote(K5_DEMO_TOOL) + " " + Quote(dir.File("demo")) + " --scale tiny --seed 5 >/dev/null", &made);
        ASSERT_EQ(made, 0);
        auto expected = Counts(source);
        ASSERT_GT(expected.size(), 30u);
        if (c.zeroLeaf) {
            const auto [table, lost] = ZeroLeafPage(source);
            ASSERT_GT(lost, 0);
            expected[table] -= lost;
        }
        const std::string files = Quote(source) + " " + Quote(out);
        const PeerRun run = c.buildFromEnv
                                ? RunPeer("K5_BUILD_DIR=" + Quote(K5_BINARY_DIR), files, dir.File("err"))
                                : RunPeer("", files + " " + Quote(K5_BINARY_DIR), dir.File("err"));
        ASSERT_EQ(run.status, 0) << (run.errors.empty() ? "" : run.errors[0]);
        EXPECT_TRUE(run.errors.empty()) << run.errors[0];
        // Same names, same counts; a "lost_and_found" table (rows placed nowhere) would differ too.
        EXPECT_EQ(Counts(out), expected);
    }
}

TEST(RecoverPeer, SaysInOneLineWhyItCannotRun) {
    if (std::system("sqlite3 -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "needs the sqlite3 shell";
    ScratchDir dir;
    const std::string good = dir.File("good.db"), text = dir.File("text.db"), out = dir.File("out.db");
    k5test::Shell("sqlite3 " + Quote(good) + " 'CREATE TABLE t(a); INSERT INTO t VALUES (1)'");
    k5test::WriteAll(text, std::string(8192, 'x'));
    const std::string goodBytes = k5test::ReadAll(good), build = Quote(K5_BINARY_DIR);
    struct Case {
        const char* name;
        std::string args;
    };
    for (const Case& c :
         {Case{"not a database", Quote(text) + " " + Quote(out) + " " + build},
          Case{"no such input", Quote(dir.File("none.db")) + " " + Quote(out) + " " + build},
          Case{"no extension in the build folder", Quote(good) + " " + Quote(out) + " " + Quote(dir.Path())},
          Case{"the output is the input", Quote(good) + " " + Quote(good) + " " + build},
          Case{"no output given", Quote(good)}}) {
        SCOPED_TRACE(c.name);
        const PeerRun run = RunPeer("", c.args, dir.File("err"));
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.errors.size(), 1u);
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_EQ(k5test::ReadAll(good), goodBytes);
    }
    // Nothing of the work is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3);
}
