// The built program in its headless mode, on demo folders and scratch folders: what it
// prints, what it leaves and how it exits.
#include "Fixtures.h"

#include <algorithm>

using namespace k5;
using namespace k5::mtest;

namespace {

#ifdef K5_MAIN_PROGRAM
struct Headless : RunFixture {
    struct Result {
        int code = -1;
        std::string out, err;
    };
    // Runs the program with its own trash and settings folders; standard output and error
    // are files, so no colours and no progress.
    Result Run(const std::string& args, const std::string& dataHome = std::string()) {
        const std::string outFile = root + "/out.txt", errFile = root + "/err.txt";
        Result r;
        Shell("XDG_DATA_HOME=" + Quote(dataHome.empty() ? root + "/data" : dataHome) + " XDG_CONFIG_DIRS=" +
                  Quote(root + "/etc") + " QT_QPA_PLATFORM=offscreen " + Quote(K5_MAIN_PROGRAM) + " " + args +
                  " >" + Quote(outFile) + " 2>" + Quote(errFile) + " </dev/null",
              &r.code);
        r.out = ReadAll(outFile);
        r.err = ReadAll(errFile);
        return r;
    }
    void Demo() {
#ifdef K5_DEMO_TOOL
        int code = -1;
        const std::string out =
            Shell(Quote(K5_DEMO_TOOL) + " " + Quote(folder) + " --scale tiny --seed 1 2>&1", &code);
        ASSERT_EQ(code, 0) << out;
#else
        GTEST_SKIP() << "k5demo is not built";
#endif
    }
    // The protocol folder's one file that starts with `prefix` and ends with `suffix`.
    std::string Only(const std::string& suffix, const std::string& prefix = "") {
        for (const std::string& f : FilesIn(protocolFolder))
            if (f.ends_with(suffix) && f.starts_with(prefix)) return protocolFolder + "/" + f;
        return std::string();
    }
    std::vector<std::string> Trash() {
        return FilesIn(root + "/data/Trash/files");
    }
};

TEST_F(Headless, HelpAndBadFlags) {
    Result help = Run("--help");
    EXPECT_EQ(help.code, 0);
    for (const char* part : {"Использование:", "--remove-orphaned-bigdocs", "Код завершения:"})
        EXPECT_THAT(help.out, HasSubstr(part));
    for (const char* bad : {"--batch --bogus", "--batch --limit", "--batch --limit -3", "--batch --limit x1",
                            "--batch --folder", "--help --limit 99999999999"}) {
        Result r = Run(bad);
        EXPECT_EQ(r.code, 2) << bad;
        EXPECT_THAT(r.err, HasSubstr("Использование:")) << bad;
        EXPECT_TRUE(r.out.empty()) << bad;
    }
}

TEST_F(Headless, MissingFolderEndsWithTheRtfFailureAndExitTwo) {
    Result r = Run("--batch --folder " + Quote(root + "/нет такой папки"));
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.out, HasSubstr("Не найдена папка базы данных"));
    EXPECT_THAT(r.err, AllOf(HasSubstr("[K5VedovodeduzOR::ProphylaxisFrm.StartRun]\n"
                                       "[K5VedovodeduzOR::ProphylaxisFrm.SaveRtf]"),
                             HasSubstr("Непредвиденная ошибка 76")));
}

TEST_F(Headless, SettingGivesTheFolderWhenNoneIsPassed) {
    MakeFolder();
    SetSetting(folder);
    Result r = Run("--batch --check-only");
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_THAT(
        r.out,
        HasSubstr("Предварительные проверки пройдены.\nМожно запускать процесс профилактики базы данных.\n"));
    // The check alone leaves its logs (the text log in Windows-1251) and touches nothing else.
    EXPECT_EQ(FilesIn(protocolFolder).size(), 2u);
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb"}));
    EXPECT_THAT(ReadAll(Only(".txt")),
                HasSubstr("\xcf\xf0\xe5\xe4\xe2\xe0\xf0\xe8\xf2\xe5\xeb\xfc\xed\xfb\xe5"));
}

// A clean folder is replaced with exit code 0; where no trash can be made, the archived old
// file keeps the backup name.
TEST_F(Headless, CleanFolderReplacedWithoutATrashKeepsTheBackupName) {
    MakeFolder();
    const std::string before = ReadAll(mainFile);
    std::ofstream(root + "/not-a-folder") << "x"; // the trash cannot be made under a file
    Result r = Run("--batch --folder " + Quote(folder), root + "/not-a-folder/data");
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    // Plain text: the two halves of a step share one line; no marker, no CR, no colours.
    EXPECT_THAT(r.out, AllOf(HasSubstr(": Сжатие основного файла БД " + folder +
                                       "/Korund5_Prophylaxis.mdb завершено успешно.\n"),
                             Not(HasSubstr(" ...")), Not(HasSubstr("\r")), Not(HasSubstr("\033[")),
                             HasSubstr(": Профилактика БД завершена успешно.\n")));
    const std::string zip = Only(".zip");
    ASSERT_FALSE(zip.empty());
    const std::string stamp = zip.substr(zip.find("_резервная_копия_"));
    const std::string backup = "Korund5" + stamp.substr(0, stamp.size() - 4) + ".mdb";
    EXPECT_THAT(r.out,
                AllOf(HasSubstr("запакован в zip-архив"), HasSubstr("переименован в: " + backup + ".\n")));
    EXPECT_TRUE(ReadAll(folder + "/" + backup) == before);
    EXPECT_FALSE(ReadAll(mainFile) == before);
    std::vector<std::string> expected{backup, "Korund5.mdb", "Korund5_LastVer.mdb"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FilesIn(folder), expected);
}

TEST_F(Headless, DemoFolderWithFailuresKeepsTheMainFileAndExitsWithOne) {
    Demo();
    const std::string before = ReadAll(mainFile);
    Result r = Run("--batch --folder " + Quote(folder) +
                   " --remove-orphaned --remove-orphaned-bigdocs --compact-bigdocs --limit 5");
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    // Two planted orphan document files, and one more once the clean-up took its document.
    EXPECT_THAT(r.out,
                AllOf(HasSubstr("   Максимальное количество сообщений об ошибках для каждой таблицы: 5\n"),
                      HasSubstr(": Исходный файл БД (Korund5.mdb) оставлен без изменений.\n"),
                      HasSubstr("Переименовано файлов: 3\n")));
    EXPECT_TRUE(ReadAll(mainFile) == before);
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{".k5demo", "Korund5.mdb", "Korund5_LastVer.mdb",
                                                         "Korund5_Prophylaxis.mdb"}));
    // The BigDocs archive is the only archive.
    EXPECT_THAT(Only(".zip"), HasSubstr("Korund5_BigDocs_резервная_копия_"));
    EXPECT_TRUE(Trash().empty());
}

TEST_F(Headless, DemoFolderReplacedRegardlessArchivesTheOldFile) {
    Demo();
    const std::string before = ReadAll(mainFile);
    Result r = Run("--batch --folder " + Quote(folder) + " --zip-and-rename");
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_THAT(r.out, ::testing::EndsWith(": Профилактика БД завершена. БД готова к эксплуатации.\n"));
    int code = -1;
    EXPECT_TRUE(Shell("unzip -p " + Quote(Only(".zip", "Korund5_резервная_копия_")) + " Korund5.mdb",
                      &code) == before);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Trash(), (std::vector<std::string>{"Korund5.mdb"}));
    EXPECT_FALSE(ReadAll(mainFile) == before);
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{".k5demo", "Korund5.mdb", "Korund5_LastVer.mdb"}));
}
#endif

} // namespace
