// The built program in its headless mode: what it prints, what it leaves and how it exits.
#include "Fixtures.h"

namespace k5::mtest {

#ifdef K5_MAIN_PROGRAM
struct Headless : RunFixture {
    int code = -1;
    std::string out, err;
    // Runs the program with its own trash and settings folders; standard output and error
    // are files, so no colours and no progress.
    void Run(const std::string& args, const std::string& dataHome = std::string()) {
        const std::string outFile = root + "/out.txt", errFile = root + "/err.txt";
        Shell("XDG_DATA_HOME=" + Quote(dataHome.empty() ? root + "/data" : dataHome) + " XDG_CONFIG_DIRS=" +
                  Quote(root + "/etc") + " QT_QPA_PLATFORM=offscreen " + Quote(K5_MAIN_PROGRAM) + " " + args +
                  " >" + Quote(outFile) + " 2>" + Quote(errFile) + " </dev/null",
              &code);
        out = ReadAll(outFile);
        err = ReadAll(errFile);
    }
    // The protocol folder's one file whose name holds `part`.
    std::string Only(const std::string& part) {
        for (const std::string& f : FilesIn(protocolFolder))
            if (f.find(part) != std::string::npos) return protocolFolder + "/" + f;
        return std::string();
    }
};

TEST_F(Headless, BadFlagsAndAnUnexpectedError) {
    for (const char* bad : {"--batch --bogus", "--batch --limit -3", "--help --limit 99999999999"}) {
        Run(bad);
        EXPECT_EQ(code, 2) << bad;
        EXPECT_THAT(err, HasSubstr("Использование:")) << bad;
        EXPECT_TRUE(out.empty()) << bad;
    }
    Run("--batch --folder " + Quote(root + "/нет такой папки"));
    EXPECT_EQ(code, 2);
    EXPECT_THAT(out, HasSubstr("Не найдена папка базы данных"));
    EXPECT_THAT(err, AllOf(HasSubstr("[K5VedovodeduzOR::ProphylaxisFrm.StartRun]\n"
                                     "[K5VedovodeduzOR::ProphylaxisFrm.SaveRtf]"),
                           HasSubstr("Непредвиденная ошибка 76")));
}

// Without a folder argument the setting gives it; the check alone leaves its two logs (the
// text log in Windows-1251) and touches nothing else.
TEST_F(Headless, CheckOnlyOnTheFolderOfTheSetting) {
    MakeFolder();
    SetSetting(folder);
    Run("--batch --check-only");
    EXPECT_EQ(code, 0) << out << err;
    EXPECT_THAT(
        out,
        HasSubstr("Предварительные проверки пройдены.\nМожно запускать процесс профилактики базы данных.\n"));
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
    Run("--batch --folder " + Quote(folder), root + "/not-a-folder/data");
    EXPECT_EQ(code, 0) << out << err;
    // Plain text: the two halves of a step share one line; no marker, no CR, no colours.
    EXPECT_THAT(out, AllOf(HasSubstr(": Сжатие основного файла БД " + folder +
                                     "/Korund5_Prophylaxis.mdb завершено успешно.\n"),
                           Not(HasSubstr(" ...")), Not(HasSubstr("\r")), Not(HasSubstr("\033[")),
                           HasSubstr(": Профилактика БД завершена успешно.\n")));
    const std::string zip = Only(".zip");
    ASSERT_FALSE(zip.empty());
    const std::string stamp = zip.substr(zip.find("_резервная_копия_"));
    const std::string backup = "Korund5" + stamp.substr(0, stamp.size() - 4) + ".mdb";
    EXPECT_THAT(out, HasSubstr("переименован в: " + backup + ".\n"));
    EXPECT_TRUE(ReadAll(folder + "/" + backup) == before);
    EXPECT_EQ(FilesIn(folder).size(), 3u);
}
#endif

} // namespace k5::mtest
