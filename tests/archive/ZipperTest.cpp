// Archives made through ZipFile, ZipFiles and K5Zipper, checked with Debian's unzip.
#include "archive/Zipper.h"
#include "archive/K5Zipper.h"
#include "support/Codepage.h"
#include "support/Error.h"
#include "support/FilesLib.h"
#include "support/ScriptedInteraction.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace k5;

namespace {

struct CommandResult {
    int status = -1;
    std::string output;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs an unzip command; UTF-8 locale so that the reader shows stored UTF-8 names as they are.
CommandResult Unzip(const std::string& args) {
    CommandResult r;
    FILE* p = popen(("LC_ALL=C.UTF-8 unzip " + args + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Entry names as the reader lists them, in archive order.
std::vector<std::string> Entries(const std::string& zip) {
    std::istringstream in(Unzip("-Z1 " + Quote(zip)).output);
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);)
        names.push_back(line);
    return names;
}

void WriteFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Nothing but the listed names is left in the folder (no temporary archive).
std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ZipperTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    ScriptedInteraction ui;
    FilesLib filesLib;
    std::string dir = tmp.path().toStdString();
    std::string P(const std::string& name) const { return dir + "/" + name; }
};

TEST_F(ZipperTest, CyrillicNameIsStoredAsUtf8WithTheLanguageFlag) {
    const std::string file = P("Данные/Корунд_отчёт.mdb");
    WriteFile(file, "строка данных\r\n");
    const std::string zip = P("Korund5_резервная_копия.zip");

    ASSERT_EQ(ZipFile(ui, &filesLib, file, zip), 0);

    EXPECT_EQ(Unzip("-tq " + Quote(zip)).status, 0);
    EXPECT_EQ(Entries(zip), std::vector<std::string>{"Корунд_отчёт.mdb"});
    EXPECT_EQ(Unzip("-p " + Quote(zip)).output, "строка данных\r\n");
    // General purpose flag of the first local header, bit 11: the name is UTF-8.
    const std::string bytes = ReadFile(zip);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_TRUE(static_cast<unsigned char>(bytes[7]) & 0x08);
    EXPECT_TRUE(ui.calls.empty()); // no prompt with these options
}

TEST_F(ZipperTest, DeepFileBareNameWithJunkDirFullPathWithout) {
    const std::string file = P("a/b/c/d/Doc_1.mdb");
    WriteFile(file, "x");
    ASSERT_EQ(ZipFile(ui, &filesLib, file, P("one.zip")), 0);
    EXPECT_EQ(Entries(P("one.zip")), std::vector<std::string>{"Doc_1.mdb"});

    ASSERT_EQ(ZipFiles(ui, P("many.zip"), {file}), 0);
    EXPECT_EQ(Entries(P("many.zip")), std::vector<std::string>{file.substr(1)});
    EXPECT_EQ(Unzip("-tq " + Quote(P("many.zip"))).status, 0);
    EXPECT_EQ(ZipOptionRecord().fJunkDir, 0);
    EXPECT_EQ(ZipOptionRecord().fNoDirEntries, 1);
}

TEST_F(ZipperTest, OnlyTheFirst1024NonEmptyNamesInListOrder) {
    K5Zipper zipper(ui);
    std::vector<std::string> expected;
    for (int i = 0; i < 1030; ++i) {
        const std::string file = P("big/f" + std::to_string(1029 - i) + ".mdb");
        WriteFile(file, std::to_string(i));
        if (i % 100 == 0) zipper.AddFileName(""); // takes no slot
        zipper.AddFileName(file);
        if (i < 1024) expected.push_back(file.substr(1));
    }
    zipper.SetZipFileName(P("limit.zip"));
    ASSERT_EQ(zipper.DoZipping(), 0);
    EXPECT_EQ(ZipNames().count, 1024);
    EXPECT_EQ(Entries(P("limit.zip")), expected);
    EXPECT_EQ(Unzip("-tq " + Quote(P("limit.zip"))).status, 0);
}

TEST_F(ZipperTest, NameListHoldsCodePage1251Bytes) {
    const std::vector<std::string> names = {"", "/данные/Ёж.mdb", "", "b"};
    ZipNameList list;
    CreateFileNamesArgvList(&names, list);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(std::string(list.names[0]), "/\xE4\xE0\xED\xED\xFB\xE5/\xA8\xE6.mdb");
    EXPECT_EQ(std::string(list.names[1]), "b");
    EXPECT_EQ(list.names[2], nullptr);

    CreateFileNamesArgvList(nullptr, list);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.names[0], nullptr);
}

TEST_F(ZipperTest, NothingToDoMakesNoArchive) {
    EXPECT_EQ(ZipFile(ui, &filesLib, P("missing.mdb"), P("none.zip")), 12);
    EXPECT_EQ(ZipFiles(ui, P("none.zip"), {}), 12);
    EXPECT_TRUE(FolderNames(dir).empty());
}

TEST_F(ZipperTest, ExistingArchiveIsReplaced) {
    WriteFile(P("old.txt"), "old");
    WriteFile(P("new.txt"), "new");
    const std::string zip = P("backup.zip");
    ASSERT_EQ(ZipFiles(ui, zip, {P("old.txt")}), 0);
    ASSERT_EQ(ZipFiles(ui, zip, {P("new.txt")}), 0);
    EXPECT_EQ(Entries(zip), std::vector<std::string>{P("new.txt").substr(1)});
    EXPECT_EQ(FolderNames(dir), (std::vector<std::string>{"backup.zip", "new.txt", "old.txt"}));
}

TEST_F(ZipperTest, VanishedFileIsLeftOut) {
    WriteFile(P("x/1.mdb"), "1");
    WriteFile(P("x/3.mdb"), "3");
    ASSERT_EQ(ZipFiles(ui, P("x.zip"), {P("x/1.mdb"), P("x/2.mdb"), P("x/3.mdb")}), 0);
    EXPECT_EQ(Entries(P("x.zip")),
              (std::vector<std::string>{P("x/1.mdb").substr(1), P("x/3.mdb").substr(1)}));
}

TEST_F(ZipperTest, UnreadableFileFailsWithoutArchive) {
    WriteFile(P("good.mdb"), "good");
    fs::create_symlink("loop.mdb", P("loop.mdb")); // cannot be opened, even by root
    const std::string zip = P("fail.zip");
    WriteFile(zip, "previous archive");

    K5Zipper zipper(ui);
    zipper.AddFileName(P("good.mdb"));
    zipper.AddFileName(P("loop.mdb"));
    zipper.SetZipFileName(zip);
    zipper.SetDeleteZipFileFirst(false);
    EXPECT_EQ(zipper.DoZipping(), 18);
    EXPECT_EQ(ReadFile(zip), "previous archive"); // untouched, no half-written archive
    EXPECT_EQ(FolderNames(dir), (std::vector<std::string>{"fail.zip", "good.mdb", "loop.mdb"}));

    zipper.SetDeleteZipFileFirst(true);
    EXPECT_EQ(zipper.DoZipping(), 18);
    EXPECT_FALSE(fs::exists(zip));
}

TEST_F(ZipperTest, UnwritableFolderGives15) {
    WriteFile(P("a.mdb"), "a");
    EXPECT_EQ(ZipFiles(ui, P("no/such/folder/a.zip"), {P("a.mdb")}), 15);
    fs::create_directory(P("taken.zip"));
    EXPECT_EQ(ZipFiles(ui, P("taken.zip"), {P("a.mdb")}), 15);
    EXPECT_EQ(FolderNames(dir), (std::vector<std::string>{"a.mdb", "taken.zip"}));
    EXPECT_TRUE(fs::is_empty(P("taken.zip")));
}

TEST_F(ZipperTest, OptionsThatWouldChangeFilesAreRefused) {
    WriteFile(P("a.mdb"), "a");
    for (auto set : std::vector<void (K5Zipper::*)(bool)>{
             &K5Zipper::SetMove, &K5Zipper::SetGrow, &K5Zipper::SetDeleteEntries, &K5Zipper::SetCRLFtoLF}) {
        K5Zipper zipper(ui);
        zipper.AddFileName(P("a.mdb"));
        zipper.SetZipFileName(P("a.zip"));
        (zipper.*set)(true);
        EXPECT_EQ(zipper.DoZipping(), 16);
        EXPECT_TRUE(fs::exists(P("a.mdb")));
        EXPECT_FALSE(fs::exists(P("a.zip")));
    }
}

TEST_F(ZipperTest, LevelBecomesDigitCharacterAndChoosesMethod) {
    WriteFile(P("a.txt"), std::string(100000, 'a'));
    struct Case {
        int32_t level;
        char byte;
        const char* method;
    };
    for (const Case& c : {Case{-1, 0, "Defl:"}, Case{0, 48, "Stored"}, Case{9, 57, "Defl:X"}}) {
        K5Zipper zipper(ui);
        zipper.SetLevel(c.level);
        zipper.AddFileName(P("a.txt"));
        zipper.SetZipFileName(P("l.zip"));
        ASSERT_EQ(zipper.DoZipping(), 0);
        EXPECT_EQ(ZipOptionRecord().fLevel, c.byte) << c.level;
        EXPECT_NE(Unzip("-v " + Quote(P("l.zip"))).output.find(c.method), std::string::npos) << c.level;
        EXPECT_EQ(Unzip("-p " + Quote(P("l.zip"))).output, std::string(100000, 'a'));
    }
}

TEST_F(ZipperTest, PasswordPromptEncryptsAndEmptyAnswerStops) {
    WriteFile(P("s.mdb"), "secret data");
    K5Zipper zipper(ui);
    zipper.SetEncrypt(true);
    zipper.AddFileName(P("s.mdb"));
    zipper.SetZipFileName(P("s.zip"));
    ui.QueueInput(std::string("pw42"));
    ASSERT_EQ(zipper.DoZipping(), 0);
    ASSERT_EQ(ui.calls.size(), 1u);
    EXPECT_EQ(ui.calls[0].text, "Please Enter The Password!");
    EXPECT_EQ(Unzip("-P pw42 -p " + Quote(P("s.zip"))).output, "secret data");
    EXPECT_NE(Unzip("-P wrong -tq " + Quote(P("s.zip"))).status, 0);

    ui.QueueInput(std::string());
    EXPECT_EQ(zipper.DoZipping(), 9);
    EXPECT_FALSE(fs::exists(P("s.zip")));
}

TEST_F(ZipperTest, LongArchiveReportsProgress) {
    std::string data;
    for (int i = 0; data.size() < 8 * 1024 * 1024; ++i)
        data += std::to_string(i * 2654435761u) + ";";
    WriteFile(P("big.mdb"), data);
    ASSERT_EQ(ZipFile(ui, &filesLib, P("big.mdb"), P("big.zip")), 0);
    EXPECT_GT(ui.progressCalls, 1);
    EXPECT_EQ(ui.yieldsOffThread, 0);
    EXPECT_EQ(Unzip("-tq " + Quote(P("big.zip"))).status, 0);
}

TEST_F(ZipperTest, DateFilterLeavesOutOlderFiles) {
    WriteFile(P("a.mdb"), "a");
    EXPECT_EQ(FormatZipDate("15.03.2021"), "03/15/21");
    EXPECT_EQ(FormatZipDate("2021-03-05"), "03/05/21");
    EXPECT_EQ(FormatZipDate(" 5.3.2021 "), "03/05/21");
    EXPECT_EQ(FormatZipDate("вчера"), "вчера");
    EXPECT_EQ(FormatZipDate(""), "");
    K5Zipper zipper(ui);
    zipper.AddFileName(P("a.mdb"));
    zipper.SetZipFileName(P("d.zip"));
    zipper.SetIncludeDate(true);
    zipper.SetDateFilter("01.01.2060");
    EXPECT_EQ(zipper.DoZipping(), 12);
    zipper.SetDateFilter("01.01.2000");
    EXPECT_EQ(zipper.DoZipping(), 0);
}

TEST(ZipErrorTextTest, Texts) {
    EXPECT_EQ(ZipErrorText(0), "");
    EXPECT_EQ(ZipErrorText(5), "ZIP internal loginc error");
    EXPECT_EQ(ZipErrorText(12), "Nothing to do for ZIP");
    EXPECT_EQ(ZipErrorText(17), "Код ошибки: 17");
    EXPECT_EQ(ZipErrorText(-1), "Код ошибки: -1");
}

TEST_F(ZipperTest, RaiseErrorsTurnsCodeIntoError) {
    K5Zipper zipper(ui);
    EXPECT_EQ(zipper.Level(), -1);
    EXPECT_TRUE(zipper.DeleteZipFileFirst());
    zipper.SetZipFileName(P("e.zip"));
    zipper.SetRaiseErrors(true);
    try {
        zipper.DoZipping();
        FAIL() << "no error raised";
    } catch (const K5Error& e) {
        EXPECT_EQ(e.Number(), 1012);
        EXPECT_EQ(e.Description(),
                  "[K5VedovodeduzOR::K5Zipper.DoZipping]\r\n[K5VedovodeduzOR]\r\nNothing to do for ZIP");
    }
}

TEST_F(ZipperTest, ZipFileWithoutFileLibraryRaises) {
    WriteFile(P("a.mdb"), "a");
    try {
        ZipFile(ui, nullptr, P("a.mdb"), P("a.zip"));
        FAIL() << "no error raised";
    } catch (const K5Error& e) {
        EXPECT_EQ(e.Description().rfind("[K5VedovodeduzOR::ProphylaxisFrm.ZipFile]\r\n", 0), 0u);
    }
    EXPECT_FALSE(fs::exists(P("a.zip")));
}

} // namespace
