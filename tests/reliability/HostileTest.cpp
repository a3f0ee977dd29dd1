// Hostile and awkward input: odd BigDocs names and links, read-only files and folders, a held
// main file, odd table lists. Nothing outside the folder changes, no name runs as SQL.
#include "ReliabilityUtil.h"

#include <ctime>
#include <sys/stat.h>

using namespace k5rel;

namespace {

// Every entry under dir with its type, mode, link target and, for files, checksum.
std::string Snapshot(const std::string& dir) {
    return k5test::Shell("cd " + Quote(dir) + " && find . -printf '%p %y %m %l\\n' | sort && " +
                         "find . -type f -exec sha256sum {} + | sort");
}

std::multiset<std::string> Rows(const std::string& path, const std::string& table) {
    return TableRows(ReadRows(path), table);
}

TEST(Hostile, BigDocsNames) {
    // Names whose part before "_" is no document number: each stops the BigDocs check on its
    // own, so each gets its own run. Then one run with the names that are numbers and links.
    const std::vector<std::string> odd{"1 OR 1=1_x.mdb",     "0; DROP TABLE Doc_Registry; --_x.mdb",
                                       "1' OR '1'='1_x.mdb", "1\"_x.mdb",
                                       "1\n_x.mdb",          ".._x.mdb",
                                       "-1_x.mdb",           "--help_x.mdb",
                                       "\xff\xfe\x80_x.mdb", "99999999999999999999_x.mdb"};
    std::vector<std::string> before(odd.size() + 1);
    Batch b(
        odd.size() + 1,
        [&](size_t i, Sandbox& s) {
            s.FillFromDemo();
            // Beside the database folder: a database and a plain file that links from BigDocs point at.
            const std::string outside = s.root + "/outside", big = s.folder + "/BigDocs/";
            fs::create_directories(outside);
            fs::copy_file(big + "1_1.mdb", outside + "/victim.mdb");
            WriteFile(outside + "/plain.txt", "keep\n");
            if (i < odd.size()) {
                WriteFile(big + odd[i], "not a database");
            } else {
                // A document that exists (1) and orphans (888, 889) as links out of the folder,
                // and a name with Cyrillic letters and blanks.
                fs::remove(big + "1_1.mdb");
                fs::create_symlink(outside + "/victim.mdb", big + "1_1.mdb");
                fs::create_symlink("../../outside/victim.mdb", big + "888_1.mdb");
                fs::create_symlink(outside + "/plain.txt", big + "889_1.mdb");
                fs::copy_file(big + "5_1.mdb", big + "777_отчёт за год.mdb");
            }
            before[i] = Snapshot(outside);
        },
        [&](size_t i, Sandbox& s) {
            return s.Run(i < odd.size() ? "--remove-orphaned-bigdocs"
                                        : "--remove-orphaned-bigdocs --compact-bigdocs");
        });
    for (size_t i = 0; i <= odd.size(); ++i) {
        const Sandbox& s = *b.boxes[i];
        const ChildResult& r = b.runs[i];
        SCOPED_TRACE(i < odd.size() ? "name " + odd[i] : std::string("numbers and links"));
        ExpectVerdictOrTrail(r);
        EXPECT_EQ(Snapshot(s.root + "/outside"), before[i])
            << "something outside the database folder changed";
        EXPECT_EQ(ReadFile(s.mainFile), b.originals[i]);
        // Every document survives in the new file: no name reached the database as SQL.
        EXPECT_EQ(Rows(s.folder + "/Korund5_Prophylaxis.mdb", "Doc_Registry"),
                  Rows(s.mainFile, "Doc_Registry"));
        const auto files = Files(s.folder + "/BigDocs");
        if (i < odd.size()) {
            // A hidden name is not listed; any other stops the check with its error.
            EXPECT_TRUE(odd[i][0] == '.' || r.code == 2)
                << "a name that is no document number must stop the check:\n"
                << r.out;
            EXPECT_NE(std::find(files.begin(), files.end(), odd[i]), files.end()) << "the odd file was moved";
        } else {
            EXPECT_NE(r.code, 2) << r.err;
            // Links are skipped with a line each (in both steps) and stay links under their names.
            for (const std::string link : {"1_1.mdb", "888_1.mdb", "889_1.mdb"}) {
                EXPECT_TRUE(fs::is_symlink(s.folder + "/BigDocs/" + link)) << link;
                const std::string line =
                    "Файл " + s.folder + "/BigDocs/" + link + " является символической ссылкой";
                EXPECT_NE(r.out.find(line), r.out.rfind(line)) << r.out;
            }
            EXPECT_EQ(k5test::Shell("unzip -Z1 " + Quote(s.protocolFolder) +
                                    "/Korund5_BigDocs*.zip | grep -c '/BigDocs/1_1.mdb$'"),
                      "0\n");
        }
    }
}

TEST(Hostile, TableListNamesOddTables) {
    Sandbox s;
    s.FillFromDemo();
    const std::string ref = s.folder + "/Korund5_LastVer.mdb";
    ASSERT_TRUE(Db(ref, true).Each("INSERT INTO ListTbl(TblName, TblType) VALUES ('NoSuchTable', 1), "
                                   "('Doc_Registry', 1), ('doc_registry', 1), ('DOC_REGISTRY', 1), "
                                   "('Orgs\"; DROP TABLE Doc_Registry; --', 1), "
                                   "('x''); DELETE FROM ListTbl; --', 1), ('', 1)"));
    const std::string original = ReadFile(s.mainFile), reference = ReadFile(ref);
    const auto documents = Rows(s.mainFile, "Doc_Registry");
    ASSERT_FALSE(documents.empty());
    const ChildResult r = s.Run("--zip-and-rename");
    ExpectVerdictOrTrail(r);
    EXPECT_EQ(ReadFile(ref), reference) << "the reference file changed";
    // The user asked for the replacement: the old file is kept, the new one is sound.
    EXPECT_TRUE(CheckFolder(s, original, nullptr));
    EXPECT_EQ(r.code, 1) << r.err;
    // Listed four times in three spellings, the documents are all there, once.
    EXPECT_EQ(Rows(s.mainFile, "Doc_Registry"), documents);
    EXPECT_NE(r.out.find("Таблица NoSuchTable не найдена в эталонной БД."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Таблица Orgs\"; DROP TABLE Doc_Registry; -- не найдена в эталонной БД."),
              std::string::npos);
}

TEST(Hostile, ReadOnlyFilesAndFolders) {
    // Permissions bite only for an ordinary user: as root the run drops to "nobody".
    const bool root = ::geteuid() == 0;
    if (root && k5test::Shell("getent passwd 65534").empty()) GTEST_SKIP() << "no user 65534 to drop to";
    // What is read-only; with the first two the run may still replace the main file.
    const std::vector<std::string> what{"main file", "reference file", "database folder", "protocol folder",
                                        "BigDocs folder"};
    Batch b(
        what.size(),
        [&](size_t i, Sandbox& s) {
            s.FillHealthy();
            // An orphan for the BigDocs check to rename.
            fs::copy_file(s.folder + "/BigDocs/1_1.mdb", s.folder + "/BigDocs/898989_1.mdb");
            if (i == 3) fs::create_directory(s.protocolFolder);
            if (root) {
                ::chmod(s.root.c_str(), 0755);
                k5test::Shell("chown -R 65534:65534 " + Quote(s.root));
                s.runAsUid = 65534;
            }
            const std::string locked[] = {s.mainFile, s.folder + "/Korund5_LastVer.mdb", s.folder,
                                          s.protocolFolder, s.folder + "/BigDocs"};
            ::chmod(locked[i].c_str(), i < 2 ? 0444 : 0555);
        },
        [](size_t, Sandbox& s) { return s.Run("--remove-orphaned-bigdocs"); });
    for (size_t i = 0; i < what.size(); ++i) {
        SCOPED_TRACE("read-only " + what[i]);
        ExpectVerdictOrTrail(b.runs[i]);
        const bool replaced = CheckFolder(*b.boxes[i], b.originals[i], nullptr);
        EXPECT_TRUE(!replaced || i < 2) << b.runs[i].out << b.runs[i].err;
        // The run could not do its work: it says so.
        EXPECT_TRUE(replaced || b.runs[i].code != 0) << b.runs[i].out;
    }
    ::chmod(b.boxes[2]->folder.c_str(), 0755);
}

TEST(Hostile, MainFileHeldByAnotherProcess) {
    // The accounting program at work (here: this process): the file open through the engine
    // with its lock, or read through SQLite in the middle of a transaction.
    for (const bool engine : {true, false}) {
        SCOPED_TRACE(engine ? "held through the engine" : "a reader of SQLite's own locks");
        Sandbox s;
        s.FillFromDemo();
        const std::string original = ReadFile(s.mainFile);
        std::unique_ptr<k5::db::Database> holder;
        std::unique_ptr<Db> reader;
        if (engine) {
            holder = k5::db::DBEngine::Instance().OpenDatabase(s.mainFile, true, false);
        } else {
            reader = std::make_unique<Db>(s.mainFile);
            ASSERT_TRUE(reader->Each("BEGIN") && reader->Each("SELECT count(*) FROM DBVersion"));
        }
        const ChildResult r = s.Run("--zip-and-rename --remove-orphaned");
        if (holder) holder->Close();
        reader.reset();
        ExpectVerdictOrTrail(r);
        EXPECT_NE(r.code, 0);
        EXPECT_NE(r.out.find("не удалось открыть в монопольном режиме"), std::string::npos) << r.out;
        EXPECT_TRUE(ReadFile(s.mainFile) == original) << "a file in use was replaced";
        EXPECT_FALSE(fs::exists(s.folder + "/Korund5_Compact.mdb"));
    }
}

// A root run (a scheduled job) over files of the accounting program's user, with a strict
// umask: the replaced main file and every compacted BigDocs file keep owner, group and mode.
TEST(Hostile, RootRunKeepsOwnersAndModes) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give files to another owner";
    if (k5test::Shell("getent passwd 65534").empty()) GTEST_SKIP() << "no user 65534";
    Sandbox s;
    s.FillFromDemo();
    const std::string original = ReadFile(s.mainFile);
    const std::string files = Quote(s.mainFile) + " " + Quote(s.folder) + "/BigDocs/*.mdb";
    k5test::Shell("chown 65534:65534 " + files + " && chmod 0660 " + files);
    s.wrapper = {"/bin/sh", "-c", "umask 077 && exec \"$@\"", "sh"};
    const ChildResult r = s.Run("--zip-and-rename --compact-bigdocs");
    ExpectVerdictOrTrail(r);
    ASSERT_NE(r.out.find("Сжатие файла " + s.folder + "/BigDocs/"), std::string::npos) << r.out;
    EXPECT_EQ(k5test::Shell("stat -c '%n %u:%g %a' " + files + " | grep -v ' 65534:65534 660$'"), "");
    EXPECT_TRUE(CheckFolder(s, original, nullptr));
}

// Standard output closed at once (a pipe to "head", a dropped session): the run goes on to
// its end and leaves both logs. A run ended by an unexpected error still leaves both, with the
// error as their last entry.
TEST(Hostile, HeadlessRunLeavesItsLogs) {
    const struct {
        bool closedStdout;
        std::string oddDocument, last;
    } cases[] = {{true, "", "Профилактика БД завершена. БД готова к эксплуатации."},
                 {false, "12x_1.mdb", "\" не начинается с номера документа"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.last);
        Sandbox s;
        s.FillFromDemo();
        if (!c.oddDocument.empty()) WriteFile(s.folder + "/BigDocs/" + c.oddDocument, "x");
        s.closedStdout = c.closedStdout;
        const ChildResult r = s.Run("--zip-and-rename --remove-orphaned-bigdocs");
        EXPECT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_EQ(r.code, c.closedStdout ? 1 : 2) << r.err;
        std::string txt, rtf;
        for (const std::string& f : Files(s.protocolFolder)) {
            if (f.ends_with(".txt")) txt = s.protocolFolder + "/" + f;
            if (f.ends_with(".rtf")) rtf = ReadFile(s.protocolFolder + "/" + f);
        }
        EXPECT_FALSE(rtf.empty()) << "no RTF log";
        const std::string text = k5test::Shell("iconv -f cp1251 -t utf-8 " + Quote(txt) + " | tr -d '\\r'");
        const size_t last = text.rfind('\n', text.size() - 2);
        EXPECT_NE(text.substr(last == std::string::npos ? 0 : last + 1).find(c.last), std::string::npos)
            << text;
    }
}

// The write test's file name held by a link to the main file or by a file of another program:
// the check passes without following or truncating anything.
TEST(Hostile, WriteTestNameTaken) {
    const struct {
        std::string where, link; // link target, or empty for a foreign file
    } cases[] = {{"Профилактика_БД", "../Korund5.mdb"}, {"", "Korund5.mdb"}, {"", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where + " -> " + c.link);
        Sandbox s;
        s.FillFromDemo();
        const std::string dir = c.where.empty() ? s.folder : s.folder + "/" + c.where;
        fs::create_directories(dir);
        const std::string name = dir + "/k5w_test.tmp", original = ReadFile(s.mainFile);
        if (c.link.empty())
            WriteFile(name, "не тест\n");
        else
            fs::create_symlink(c.link, name);
        const ChildResult r = s.Run("--check-only");
        EXPECT_TRUE(r.exited && r.code == 0) << r.out << r.err;
        EXPECT_EQ(ReadFile(s.mainFile), original) << "the write test went through the link";
        EXPECT_EQ(c.link.empty() ? ReadFile(name) : fs::read_symlink(name).string(),
                  c.link.empty() ? "не тест\n" : c.link);
        EXPECT_EQ(Files(dir).size(), c.where.empty() ? 4u : 3u) << "a test file was left";
    }
}

// Logs and archives already there under the stamps of the next seconds (a clock set back,
// another run): the run takes a stamp of its own and overwrites none of them.
TEST(Hostile, StampsOfExistingLogsAndArchives) {
    Sandbox s;
    s.FillFromDemo();
    fs::create_directories(s.protocolFolder);
    std::map<std::string, std::string> planted;
    const time_t now = ::time(nullptr);
    for (int second = 0; second <= 6; ++second) {
        const time_t t = now + second;
        std::tm local{};
        ::localtime_r(&t, &local);
        char stamp[64];
        std::strftime(stamp, sizeof stamp, "%Yг%mм%dд%Hч%Mм%Sс", &local);
        const std::string names[] = {"Log_" + std::string(stamp) + ".txt",
                                     "Log_" + std::string(stamp) + ".rtf",
                                     "Korund5_BigDocs_резервная_копия_" + std::string(stamp) + ".zip"};
        const std::string& name = names[second % 3];
        planted[name] = "earlier " + name;
        WriteFile(s.protocolFolder + "/" + name, planted[name]);
    }
    const ChildResult r = s.Run("--zip-and-rename --compact-bigdocs");
    ExpectVerdictOrTrail(r);
    for (const auto& [name, bytes] : planted)
        EXPECT_EQ(ReadFile(s.protocolFolder + "/" + name), bytes) << name << " was overwritten";
    EXPECT_EQ(Files(s.protocolFolder).size(), planted.size() + 4) << "two logs and two archives of the run";
}

// A database folder whose path is longer than the engine takes: the check says so.
TEST(Hostile, PathTooLongForTheEngine) {
    Sandbox s;
    std::string deep = s.root;
    for (int i = 0; deep.size() < 600; ++i)
        deep += "/" + std::string(100, 'a' + i) + "_папка";
    s.SetFolder(deep, s.data);
    fs::create_directories(s.folder);
    s.FillFromDemo();
    const ChildResult r = s.Run("--check-only");
    ExpectVerdictOrTrail(r);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("Слишком длинный путь к файлу"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("монопольном режиме"), std::string::npos) << r.out;
}

} // namespace
