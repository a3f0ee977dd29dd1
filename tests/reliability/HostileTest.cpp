// Hostile and awkward input: BigDocs names made of SQL, quotes, line breaks, dots, dashes
// and bytes that are not UTF-8, links out of the folder, read-only files and folders, a
// main file held by another process, a table list naming odd tables. Nothing outside the
// database folder changes, no name is run as SQL, the main file stays whole.
#include "ReliabilityUtil.h"

#include <sqlite3.h>

#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace k5rel;
using k5test::Quote;

namespace {

// Path -> bytes of every file under dir (links as their target text).
std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    const std::string list = k5test::Shell("cd " + Quote(dir) + " && find . -print0 2>/dev/null");
    size_t at = 0;
    while (at < list.size()) {
        const size_t end = list.find('\0', at);
        const std::string rel = list.substr(at, end - at);
        at = end + 1;
        const std::string path = dir + "/" + rel;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
            out[rel] = "link:" + std::string(buf, n > 0 ? size_t(n) : 0);
        } else if (S_ISREG(st.st_mode)) {
            out[rel] = ReadFile(path) + "|mode" + std::to_string(st.st_mode);
        } else {
            out[rel] = "dir|mode" + std::to_string(st.st_mode);
        }
    }
    return out;
}

// A folder beside the database folder with a database and a plain file that links from
// BigDocs point at.
std::string MakeOutside(const Sandbox& s) {
    const std::string outside = s.root + "/outside";
    k5test::Shell("mkdir -p " + Quote(outside) + " && cp " + Quote(s.folder + "/BigDocs") + "/1_1.mdb " +
                  Quote(outside + "/victim.mdb") + " && echo keep > " + Quote(outside + "/plain.txt"));
    return outside;
}

std::multiset<std::string> TableRows(const std::string& path, const std::string& table) {
    auto rows = ReadRows(path);
    if (!rows) return {};
    for (const auto& [name, set] : *rows)
        if (QString::fromStdString(name).compare(QString::fromStdString(table), Qt::CaseInsensitive) == 0)
            return set;
    return {};
}

void ExpectVerdictOrTrail(const ChildResult& r) {
    ASSERT_TRUE(r.exited) << "signal " << r.signal << (r.timedOut ? " (timed out)" : "") << "\n" << r.err;
    ASSERT_TRUE(r.code == 0 || r.code == 1 || r.code == 2) << r.code << r.err;
    if (r.code == 2)
        EXPECT_NE(r.err.find("[K5VedovodeduzOR::"), std::string::npos) << r.err;
    else
        EXPECT_TRUE(r.out.find("Профилактика БД завершена") != std::string::npos ||
                    r.out.find("Дальнейшая работа программы невозможна.") != std::string::npos)
            << r.out;
}

TEST(Hostile, BigDocsNames) {
    // Names whose part before "_" is no document number: each stops the BigDocs check on its
    // own, so each gets its own run. Then one run with the names that are numbers and links.
    const std::vector<std::string> odd{"1 OR 1=1_x.mdb",
                                       "0; DROP TABLE Doc_Registry; --_x.mdb",
                                       "1' OR '1'='1_x.mdb",
                                       "1\"_x.mdb",
                                       "1\n_x.mdb",
                                       ".._x.mdb",
                                       "-1_x.mdb",
                                       "--help_x.mdb",
                                       std::string("\xff\xfe\x80_x.mdb"),
                                       "99999999999999999999_x.mdb"};
    const size_t runs = odd.size() + 1;
    std::vector<std::unique_ptr<Sandbox>> boxes(runs);
    std::vector<std::string> originals(runs), outsides(runs);
    std::vector<std::map<std::string, std::string>> before(runs);
    for (size_t i = 0; i < runs; ++i) {
        boxes[i] = std::make_unique<Sandbox>();
        Sandbox& s = *boxes[i];
        s.FillFromDemo();
        outsides[i] = MakeOutside(s);
        const std::string big = s.folder + "/BigDocs/";
        if (i < odd.size()) {
            std::ofstream(big + odd[i]) << "not a database";
        } else {
            // A document that exists (1) and orphans (888, 889) as links out of the folder,
            // and a name with Cyrillic letters and blanks.
            k5test::Shell("cd " + Quote(big) + " && rm -f 1_1.mdb && ln -s " +
                          Quote(outsides[i] + "/victim.mdb") +
                          " 1_1.mdb && ln -s ../../outside/victim.mdb 888_1.mdb && ln -s " +
                          Quote(outsides[i] + "/plain.txt") + " 889_1.mdb && cp 5_1.mdb " +
                          Quote("777_отчёт за год.mdb"));
        }
        originals[i] = ReadFile(s.mainFile);
        before[i] = Snapshot(outsides[i]);
    }
    std::vector<ChildResult> results(runs);
    Parallel(runs, [&](size_t i) {
        results[i] = boxes[i]->Run(i < odd.size() ? "--remove-orphaned-bigdocs"
                                                  : "--remove-orphaned-bigdocs --compact-bigdocs");
    });
    for (size_t i = 0; i < runs; ++i) {
        const Sandbox& s = *boxes[i];
        const ChildResult& r = results[i];
        SCOPED_TRACE(i < odd.size() ? "name " + odd[i] : std::string("numbers and links"));
        ExpectVerdictOrTrail(r);
        EXPECT_EQ(Snapshot(outsides[i]), before[i]) << "something outside the database folder changed";
        EXPECT_EQ(ReadFile(s.mainFile), originals[i]);
        // Every document survives in the new file: no name reached the database as SQL.
        EXPECT_EQ(TableRows(s.folder + "/Korund5_Prophylaxis.mdb", "Doc_Registry"),
                  TableRows(s.mainFile, "Doc_Registry"));
        const auto files = Files(s.folder + "/BigDocs");
        if (i < odd.size()) {
            // A hidden name is not listed; any other stops the check with its error.
            if (odd[i][0] != '.') {
                EXPECT_EQ(r.code, 2) << "a name that is no document number must stop the check:\n" << r.out;
            }
            EXPECT_NE(std::find(files.begin(), files.end(), odd[i]), files.end()) << "the odd file was moved";
        } else {
            EXPECT_NE(r.code, 2) << r.err;
            // The links to outside stay links (an orphan link is renamed, never followed).
            struct stat st {};
            EXPECT_EQ(::lstat((s.folder + "/BigDocs/1_1.mdb").c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode) || S_ISREG(st.st_mode));
            int renamedLinks = 0;
            for (const std::string& f : Files(s.folder + "/BigDocs"))
                if (f.rfind("888_1.mdb-лишний-файл-", 0) == 0 || f.rfind("889_1.mdb-лишний-файл-", 0) == 0)
                    ++renamedLinks;
            EXPECT_EQ(renamedLinks, 2) << r.out;
        }
    }
}

TEST(Hostile, TableListNamesOddTables) {
    Sandbox s;
    s.FillFromDemo();
    const std::string ref = s.folder + "/Korund5_LastVer.mdb";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(ref.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    char* err = nullptr;
    const int rc = sqlite3_exec(db,
                                "INSERT INTO ListTbl(TblName, TblType) VALUES ('NoSuchTable', 1), "
                                "('Doc_Registry', 1), ('doc_registry', 1), ('DOC_REGISTRY', 1), "
                                "('Orgs\"; DROP TABLE Doc_Registry; --', 1), "
                                "('x''); DELETE FROM ListTbl; --', 1), ('', 1)",
                                nullptr, nullptr, &err);
    ASSERT_EQ(rc, SQLITE_OK) << (err ? err : "");
    sqlite3_close(db);
    const std::string original = ReadFile(s.mainFile), reference = ReadFile(ref);
    const auto documents = TableRows(s.mainFile, "Doc_Registry");
    ASSERT_FALSE(documents.empty());
    const ChildResult r = s.Run("--zip-and-rename");
    ExpectVerdictOrTrail(r);
    EXPECT_EQ(ReadFile(ref), reference) << "the reference file changed";
    // The user asked for the replacement: the old file is kept, the new one is sound.
    EXPECT_FALSE(PlacesHolding(s, original).empty());
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(Integrity(s.mainFile), "");
    // Listed four times in three spellings, the documents are all there, once.
    EXPECT_EQ(TableRows(s.mainFile, "Doc_Registry"), documents);
    EXPECT_NE(r.out.find("Таблица NoSuchTable не найдена в эталонной БД."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Таблица Orgs\"; DROP TABLE Doc_Registry; -- не найдена в эталонной БД."),
              std::string::npos);
}

bool IsRoot() {
    return ::geteuid() == 0;
}

// Permissions bite only for an ordinary user: as root the run drops to "nobody".
void PrepareForUser(Sandbox& s) {
    if (!IsRoot()) return;
    ::chmod(s.root.c_str(), 0755);
    k5test::Shell("chown -R 65534:65534 " + Quote(s.root));
    s.runAsUid = 65534;
}

TEST(Hostile, ReadOnlyFilesAndFolders) {
    if (IsRoot() && k5test::Shell("getent passwd 65534").empty()) GTEST_SKIP() << "no user 65534 to drop to";
    struct Case {
        std::string name;
        std::function<void(Sandbox&)> lock;
        bool mayReplace;
    };
    const std::vector<Case> cases{
        {"read-only main file", [](Sandbox& s) { ::chmod(s.mainFile.c_str(), 0444); }, true},
        {"read-only reference file",
         [](Sandbox& s) { ::chmod((s.folder + "/Korund5_LastVer.mdb").c_str(), 0444); }, true},
        {"read-only database folder", [](Sandbox& s) { ::chmod(s.folder.c_str(), 0555); }, false},
        {"read-only protocol folder",
         [](Sandbox& s) {
             ::mkdir(s.protocolFolder.c_str(), 0555);
             ::chown(s.protocolFolder.c_str(), 65534, 65534);
         },
         false},
        {"read-only BigDocs folder", [](Sandbox& s) { ::chmod((s.folder + "/BigDocs").c_str(), 0555); },
         false},
    };
    std::vector<std::unique_ptr<Sandbox>> boxes(cases.size());
    std::vector<std::string> originals(cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        boxes[i] = std::make_unique<Sandbox>();
        boxes[i]->FillHealthy();
        // Orphans for the BigDocs check to rename.
        k5test::Shell("cd " + Quote(boxes[i]->folder + "/BigDocs") + " && cp 1_1.mdb 898989_1.mdb");
        PrepareForUser(*boxes[i]);
        cases[i].lock(*boxes[i]);
        originals[i] = ReadFile(boxes[i]->mainFile);
    }
    std::vector<ChildResult> results(cases.size());
    Parallel(cases.size(), [&](size_t i) { results[i] = boxes[i]->Run("--remove-orphaned-bigdocs"); });
    for (size_t i = 0; i < cases.size(); ++i) {
        const Sandbox& s = *boxes[i];
        const ChildResult& r = results[i];
        SCOPED_TRACE(cases[i].name);
        ExpectVerdictOrTrail(r);
        ASSERT_TRUE(FileExists(s.mainFile));
        if (ReadFile(s.mainFile) != originals[i]) {
            EXPECT_TRUE(cases[i].mayReplace) << r.out << r.err;
            EXPECT_EQ(Integrity(s.mainFile), "");
            EXPECT_FALSE(PlacesHolding(s, originals[i]).empty());
        } else {
            // The run could not do its work: it says so.
            EXPECT_NE(r.code, 0) << r.out;
        }
        EXPECT_EQ(BrokenArchives(s), "");
    }
    ::chmod(boxes[2]->folder.c_str(), 0755);
}

TEST(Hostile, MainFileHeldByAnotherProcess) {
    Sandbox s;
    s.FillFromDemo();
    const std::string original = ReadFile(s.mainFile);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        // The accounting program at work: the file open with a lock held.
        try {
            auto database = k5::db::DBEngine::Instance().OpenDatabase(s.mainFile, true, false);
            (void)!::write(ready[1], "1", 1);
            for (;;)
                ::pause();
        } catch (...) {
            (void)!::write(ready[1], "0", 1);
        }
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1') << "the holder could not open the file";
    const ChildResult r = s.Run("--zip-and-rename --remove-orphaned");
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ExpectVerdictOrTrail(r);
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(ReadFile(s.mainFile), original) << "a file in use was replaced";
    EXPECT_FALSE(FileExists(s.folder + "/Korund5_Compact.mdb"));
}

} // namespace
