// Hostile and awkward input: odd BigDocs names and links, read-only files and folders, a held
// main file, odd table lists. Nothing outside the folder changes, no name runs as SQL.
#include "ReliabilityUtil.h"

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
    Sandbox s;
    s.FillFromDemo();
    const std::string original = ReadFile(s.mainFile);
    // The accounting program at work (here: this process): the file open with a lock held.
    auto holder = k5::db::DBEngine::Instance().OpenDatabase(s.mainFile, true, false);
    const ChildResult r = s.Run("--zip-and-rename --remove-orphaned");
    holder->Close();
    ExpectVerdictOrTrail(r);
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(ReadFile(s.mainFile), original) << "a file in use was replaced";
    EXPECT_FALSE(fs::exists(s.folder + "/Korund5_Compact.mdb"));
}

} // namespace
