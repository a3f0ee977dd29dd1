// Archives made through ZipFile, ZipFiles and K5Zipper, checked with Debian's unzip.
#include "archive/Zipper.h"
#include "archive/K5Zipper.h"
#include "common/ScriptedInteraction.h"
#include "common/TestUtil.h"
#include "support/Error.h"
#include "support/FilesLib.h"

#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zip.h>

namespace fs = std::filesystem;
using namespace k5;
using k5test::Quote;
using Names = std::vector<std::string>;

namespace {

// Output of an unzip command; UTF-8 locale so that stored UTF-8 names show as they are.
std::string Unzip(const std::string& args, int* code = nullptr) {
    return k5test::Shell("LC_ALL=C.UTF-8 unzip " + args + " 2>&1", code);
}

int TestArchive(const std::string& zip, const std::string& options = "") {
    int code = -1;
    Unzip(options + "-tq " + Quote(zip), &code);
    return code;
}

Names Entries(const std::string& zip) {
    std::istringstream in(Unzip("-Z1 " + Quote(zip)));
    Names names;
    for (std::string line; std::getline(in, line);)
        names.push_back(line);
    return names;
}

// Entry names as stored, byte for byte (unzip would convert names without the UTF-8 flag).
Names RawEntries(const std::string& zip) {
    Names names;
    zip_t* za = zip_open(zip.c_str(), ZIP_RDONLY, nullptr);
    if (za == nullptr) return names;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i)
        names.push_back(zip_get_name(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW));
    zip_close(za);
    std::sort(names.begin(), names.end());
    return names;
}

void WriteFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Everything in the folder (so a left-over temporary archive is seen).
Names FolderNames(const std::string& folder) {
    Names names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ZipperTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    ScriptedInteraction ui;
    Env& env = Env::Default();
    FilesLib filesLib{env};
    std::string dir = tmp.path().toStdString();
    std::string P(const std::string& name) const { return dir + "/" + name; }
    std::string Stored(const std::string& name) const { return P(name).substr(1); }
};

// Cyrillic names in UTF-8 with the language flag; junk-dir for ZipFile, full paths for ZipFiles.
TEST_F(ZipperTest, CyrillicNamesAndFolderPaths) {
    const std::string file = P("Данные/a/b/Корунд_отчёт.mdb");
    WriteFile(file, "строка данных\r\n");
    const std::string zip = P("Korund5_копия.zip");
    ASSERT_EQ(ZipFile(ui, env, &filesLib, file, zip), 0);
    EXPECT_EQ(TestArchive(zip), 0);
    EXPECT_EQ(Entries(zip), Names{"Корунд_отчёт.mdb"});
    EXPECT_EQ(Unzip("-p " + Quote(zip)), "строка данных\r\n");
    EXPECT_TRUE(static_cast<unsigned char>(k5test::ReadAll(zip).at(7)) & 0x08); // general flag bit 11

    ASSERT_EQ(ZipFiles(ui, env, P("many.zip"), {file}), 0);
    EXPECT_EQ(Entries(P("many.zip")), Names{Stored("Данные/a/b/Корунд_отчёт.mdb")});
}

TEST_F(ZipperTest, OnlyTheFirst1024NonEmptyNamesInListOrder) {
    K5Zipper zipper(ui, env);
    Names expected;
    for (int i = 0; i < 1030; ++i) {
        const std::string name = "big/f" + std::to_string(1029 - i) + ".mdb";
        WriteFile(P(name), std::to_string(i));
        if (i % 100 == 0) zipper.AddFileName(""); // takes no slot
        zipper.AddFileName(P(name));
        if (i < 1024) expected.push_back(Stored(name));
    }
    zipper.SetZipFileName(P("limit.zip"));
    ASSERT_EQ(zipper.DoZipping(), 0);
    EXPECT_EQ(Entries(P("limit.zip")), expected);
    EXPECT_EQ(TestArchive(P("limit.zip")), 0);

    const Names names = {"/данные/Ёж.mdb", "/数据/x.mdb"}; // the files' own bytes, unchanged
    ZipNameList list;
    CreateFileNamesArgvList(&names, list);
    EXPECT_EQ(Names(list.names, list.names + list.count), names);
}

// Entry names are the files' own names: characters outside Windows-1251 in a name or in a
// folder, names that only a lossy conversion would make equal, and bytes that are no UTF-8.
TEST_F(ZipperTest, EntryNamesAreTheFilesOwnNames) {
    const Names files = {"josé/BigDocs/7_数据.mdb", "josé/BigDocs/7_??.mdb", "josé/BigDocs/8_\xff\xfe.mdb"};
    Names stored;
    for (const std::string& f : files) {
        WriteFile(P(f), f);
        stored.push_back(Stored(f));
    }
    ASSERT_EQ(ZipFiles(ui, env, P("josé/all.zip"), {P(files[0]), P(files[1]), P(files[2])}), 0);
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(RawEntries(P("josé/all.zip")), stored);
    EXPECT_EQ(Unzip("-p " + Quote(P("josé/all.zip")) + " " + Quote(Stored(files[1]))), files[1]);
    ASSERT_EQ(ZipFile(ui, env, &filesLib, P(files[0]), P("josé/one.zip")), 0);
    EXPECT_EQ(Entries(P("josé/one.zip")), Names{"7_数据.mdb"});
}

TEST_F(ZipperTest, NothingToDoReplacedArchiveAndVanishedFile) {
    EXPECT_EQ(ZipFile(ui, env, &filesLib, P("missing.mdb"), P("none.zip")), 12);
    EXPECT_EQ(ZipFiles(ui, env, P("none.zip"), {}), 12);
    EXPECT_TRUE(FolderNames(dir).empty());

    WriteFile(P("old.txt"), "old");
    WriteFile(P("new.txt"), "new");
    ASSERT_EQ(ZipFiles(ui, env, P("b.zip"), {P("old.txt")}), 0);
    ASSERT_EQ(ZipFiles(ui, env, P("b.zip"), {P("gone.txt"), P("new.txt")}), 0);
    EXPECT_EQ(Entries(P("b.zip")), Names{Stored("new.txt")});
    EXPECT_EQ(FolderNames(dir), (Names{"b.zip", "new.txt", "old.txt"}));
}

// An unreadable file (18), an uncreatable archive (15), options that would change files (16):
// an earlier archive stays untouched or is gone, never half written.
TEST_F(ZipperTest, FailuresLeaveNoHalfWrittenArchive) {
    WriteFile(P("good.mdb"), "good");
    fs::create_symlink("loop.mdb", P("loop.mdb")); // cannot be opened, even by root
    WriteFile(P("fail.zip"), "previous archive");
    K5Zipper zipper(ui, env);
    zipper.AddFileName(P("good.mdb"));
    zipper.AddFileName(P("loop.mdb"));
    zipper.SetZipFileName(P("fail.zip"));
    zipper.SetDeleteZipFileFirst(false);
    EXPECT_EQ(zipper.DoZipping(), 18);
    EXPECT_EQ(k5test::ReadAll(P("fail.zip")), "previous archive");
    zipper.SetDeleteZipFileFirst(true);
    EXPECT_EQ(zipper.DoZipping(), 18);

    EXPECT_EQ(ZipFiles(ui, env, P("no/such/a.zip"), {P("good.mdb")}), 15);

    for (auto set :
         {&K5Zipper::SetMove, &K5Zipper::SetGrow, &K5Zipper::SetDeleteEntries, &K5Zipper::SetCRLFtoLF}) {
        K5Zipper z(ui, env);
        z.AddFileName(P("good.mdb"));
        z.SetZipFileName(P("a.zip"));
        (z.*set)(true);
        EXPECT_EQ(z.DoZipping(), 16);
    }
    EXPECT_EQ(FolderNames(dir), (Names{"good.mdb", "loop.mdb"}));
}

// A full disk while the archive is written is a write error (14), for one file or many, and
// leaves nothing behind. The archives go to a memory file system of 1 MB mounted in a child
// process (a user and mount namespace of its own), which exits with 200 when it cannot be set up.
TEST_F(ZipperTest, FullDiskIsAWriteError) {
    std::string noise;
    for (uint32_t x = 1; noise.size() < 200000;)
        noise += static_cast<char>((x = x * 1103515245u + 12345u) >> 24); // does not compress
    Names files;
    for (const char* name : {"1_a.mdb", "2_b.mdb", "3_c.mdb"}) {
        WriteFile(P(std::string("BigDocs/") + name), noise + name);
        files.push_back(P(std::string("BigDocs/") + name));
    }
    const std::string small = P("small");
    fs::create_directories(small);
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (uid != 0) {
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(200);
            std::ofstream("/proc/self/setgroups") << "deny";
            std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
            std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
        } else if (::unshare(CLONE_NEWNS) != 0) {
            ::_exit(200);
        }
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1024k") != 0)
            ::_exit(200);
        // The disk fills at every point of the archive in turn: in the middle of a file's data, at
        // the flush before the library goes back to a header, at the central directory.
        int fulls = 0;
        for (int room = 4; room <= 900; room += 4) {
            std::ofstream(small + "/fill") << std::string(size_t(1024 - room) * 1024, 'f');
            const int32_t codes[] = {ZipFile(ui, env, &filesLib, files[0], small + "/one.zip"),
                                     ZipFiles(ui, env, small + "/many.zip", files)};
            fs::remove(small + "/fill");
            for (const int32_t c : codes) {
                if (c != 0 && c != 14) ::_exit(100 + c);
                fulls += c == 14;
            }
            for (const std::string& name : FolderNames(small))
                if (name != "one.zip" && name != "many.zip") ::_exit(99);
            fs::remove(small + "/one.zip");
            fs::remove(small + "/many.zip");
        }
        ::_exit(fulls > 100 ? 0 : 98);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 200) GTEST_SKIP() << "no memory file system of our own can be mounted here";
    EXPECT_EQ(code, 0) << (code > 100 ? "an archive gave " + std::to_string(code - 100) : "");
}

TEST_F(ZipperTest, LevelPasswordAndDateFilter) {
    WriteFile(P("a.txt"), std::string(100000, 'a'));
    for (const auto& [level, method] : {std::pair{-1, "Defl:"}, {0, "Stored"}, {9, "Defl:X"}}) {
        K5Zipper zipper(ui, env);
        zipper.SetLevel(level);
        zipper.AddFileName(P("a.txt"));
        zipper.SetZipFileName(P("l.zip"));
        ASSERT_EQ(zipper.DoZipping(), 0);
        EXPECT_NE(Unzip("-v " + Quote(P("l.zip"))).find(method), std::string::npos) << level;
        EXPECT_EQ(Unzip("-p " + Quote(P("l.zip"))), std::string(100000, 'a'));
    }
    K5Zipper zipper(ui, env);
    zipper.SetEncrypt(true);
    zipper.AddFileName(P("a.txt"));
    zipper.SetZipFileName(P("s.zip"));
    ui.QueueInput(std::string("pw42"));
    ASSERT_EQ(zipper.DoZipping(), 0);
    EXPECT_EQ(ui.calls.at(0).text, "Please Enter The Password!");
    EXPECT_EQ(TestArchive(P("s.zip"), "-P pw42 "), 0);
    EXPECT_NE(TestArchive(P("s.zip"), "-P wrong "), 0);
    ui.QueueInput(std::string()); // an empty answer stops
    EXPECT_EQ(zipper.DoZipping(), 9);
    EXPECT_FALSE(fs::exists(P("s.zip")));

    zipper.SetEncrypt(false); // the date filter leaves out older files
    zipper.SetIncludeDate(true);
    zipper.SetDateFilter("01.01.2060");
    EXPECT_EQ(zipper.DoZipping(), 12);
    zipper.SetDateFilter("01.01.2000");
    EXPECT_EQ(zipper.DoZipping(), 0);
}

// The records the library receives: ZipFile and ZipFiles ask for no folder entries and no
// date, root or temporary folder, differ only in fJunkDir, and leave every other field 0; a
// zipper's own settings reach their fields (the level as its digit, a negative one as 0).
TEST_F(ZipperTest, OptionAndCallbackRecords) {
    WriteFile(P("a.mdb"), "a");
    const auto fields = [] {
        const ZPOPT& o = ZipOptionRecord();
        return std::vector<int32_t>{
            o.fTemp,         o.fSuffix,      o.fEncrypt,     o.fSystem,     o.fVolume,  o.fExtra,
            o.fNoDirEntries, o.fExcludeDate, o.fIncludeDate, o.fVerbose,    o.fQuiet,   o.fCRLF_LF,
            o.fLF_CRLF,      o.fJunkDir,     o.fGrow,        o.fForce,      o.fMove,    o.fDeleteEntries,
            o.fUpdate,       o.fFreshen,     o.fJunkSFX,     o.fLatestTime, o.fComment, o.fOffsets,
            o.fPrivilege,    o.fEncryption,  o.fRecurse,     o.fRepair,     o.fLevel};
    };
    const auto texts = [] {
        const ZPOPT& o = ZipOptionRecord();
        return std::string(o.Date) + "|" + o.szRootDir + "|" + o.szTempDir;
    };
    std::vector<int32_t> expected(29, 0);
    expected[6] = 1; // fNoDirEntries
    ASSERT_EQ(ZipFiles(ui, env, P("many.zip"), {P("a.mdb")}), 0);
    EXPECT_EQ(fields(), expected);
    EXPECT_EQ(texts(), "||");
    expected[13] = 1; // fJunkDir
    ASSERT_EQ(ZipFile(ui, env, &filesLib, P("a.mdb"), P("one.zip")), 0);
    EXPECT_EQ(fields(), expected);
    EXPECT_EQ(std::string(ZipNames().names[0]), P("a.mdb"));
    EXPECT_EQ(ZipNames().count, 1);

    K5Zipper zipper(ui, env);
    zipper.AddFileName(P("a.mdb"));
    zipper.SetZipFileName(P("set.zip"));
    zipper.SetLevel(9);
    zipper.SetSuffix(3);
    zipper.SetEncryption(2);
    zipper.SetQuiet(true);
    zipper.SetRootDir(dir);
    zipper.SetDateFilter("15.03.2021");
    zipper.SetIncludeDate(true);
    ASSERT_EQ(zipper.DoZipping(), 0);
    const ZPOPT& o = ZipOptionRecord();
    EXPECT_EQ(std::tuple(o.fLevel, o.fSuffix, o.fEncryption, o.fQuiet, o.fIncludeDate, o.fNoDirEntries),
              std::tuple('9', 3, 2, 1, 1, 0));
    EXPECT_EQ(texts(), "03/15/21|" + dir + "|");
    zipper.SetLevel(-1);
    ASSERT_EQ(zipper.DoZipping(), 0);
    EXPECT_EQ(ZipOptionRecord().fLevel, 0);

    const ZIPUSERFUNCTIONS& c = ZipCallbackRecord();
    ASSERT_TRUE(c.print && c.comment && c.password && c.ServiceApplication);
    EXPECT_EQ(c.print("any", 7), 0);
}

TEST_F(ZipperTest, ErrorTextsAndRaisedErrors) {
    EXPECT_EQ(ZipErrorText(0), "");
    EXPECT_EQ(ZipErrorText(5), "ZIP internal loginc error");
    EXPECT_EQ(ZipErrorText(17), "Код ошибки: 17");
    EXPECT_EQ(ZipErrorText(-1), "Код ошибки: -1");
    K5Zipper zipper(ui, env);
    zipper.SetZipFileName(P("e.zip"));
    zipper.SetRaiseErrors(true);
    try {
        zipper.DoZipping();
        ADD_FAILURE() << "no error raised";
    } catch (const K5Error& e) {
        EXPECT_EQ(e.Number(), 1012);
        EXPECT_EQ(e.Description(),
                  "[K5VedovodeduzOR::K5Zipper.DoZipping]\r\n[K5VedovodeduzOR]\r\nNothing to do for ZIP");
    }
}

// The one-file writer of the parallel archive: same entry and bytes as ZipFile gives, from
// any thread, and nothing left at the target unless complete. ZipFile on the same long file
// reports progress, from the caller's thread only.
TEST_F(ZipperTest, OneFileWriterHoldsTheBytesOrLeavesNothing) {
    std::string data;
    for (int i = 0; data.size() < 8 * 1024 * 1024; ++i)
        data += std::to_string(i * 2654435761u) + ";";
    WriteFile(P("Korund5.mdb"), data);
    WriteFile(P("taken.zip"), "earlier");
    const struct {
        std::string target;
        bool cancel;
        int32_t code;
        Names folder; // what the folder holds afterwards
    } cases[] = {
        {"new.zip", false, 0, {"Korund5.mdb", "new.zip", "taken.zip"}},
        {"taken.zip", false, ZE_CREAT, {"Korund5.mdb", "new.zip", "taken.zip"}},
        {"stopped.zip", true, ZE_ABORT, {"Korund5.mdb", "new.zip", "taken.zip"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        std::atomic<bool> cancel{c.cancel};
        std::atomic<long> thousandths{0};
        int32_t code = -1;
        std::thread([&] {
            code = ZipOneFile(P("Korund5.mdb"), "Korund5.mdb", P(c.target), cancel, thousandths);
        }).join();
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(FolderNames(dir), c.folder);
        if (c.code != 0) continue;
        EXPECT_EQ(thousandths.load(), 1000);
        EXPECT_EQ(TestArchive(P(c.target)), 0);
        EXPECT_EQ(Entries(P(c.target)), Names{"Korund5.mdb"});
        EXPECT_TRUE(k5test::Shell("unzip -p " + Quote(P(c.target)) + " Korund5.mdb") == data);
        EXPECT_TRUE(ZipHoldsOneFile(P(c.target), "Korund5.mdb", data.size()));
        EXPECT_FALSE(ZipHoldsOneFile(P(c.target), "Korund5.mdb", data.size() - 1));
        EXPECT_FALSE(ZipHoldsOneFile(P(c.target), "other.mdb", data.size()));
    }
    EXPECT_EQ(k5test::Shell("cat " + Quote(P("taken.zip"))), "earlier");
    // A cut archive fails the check.
    fs::resize_file(P("new.zip"), fs::file_size(P("new.zip")) - 10);
    EXPECT_FALSE(ZipHoldsOneFile(P("new.zip"), "Korund5.mdb", data.size()));

    ASSERT_EQ(ZipFile(ui, env, &filesLib, P("Korund5.mdb"), P("big.zip")), 0);
    EXPECT_GT(ui.progressCalls, 1);
    EXPECT_EQ(ui.yieldsOffThread, 0);
    EXPECT_EQ(TestArchive(P("big.zip")), 0);
}

} // namespace
