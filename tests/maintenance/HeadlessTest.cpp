// The built program in its headless mode: what it prints, what it leaves and how it exits.
#include "Fixtures.h"

namespace k5::mtest {

#ifdef K5_MAIN_PROGRAM
struct Headless : RunFixture {
    int code = -1;
    std::string out, err;
    // With its own trash and settings; output into files, so no colours and no progress.
    void Run(const std::string& args, const std::string& dataHome = std::string()) {
        const std::string outFile = root + "/out.txt", errFile = root + "/err.txt";
        Shell("timeout 120 env XDG_DATA_HOME=" + Quote(dataHome.empty() ? root + "/data" : dataHome) +
                  " XDG_CONFIG_DIRS=" + Quote(root + "/etc") + " QT_QPA_PLATFORM=offscreen " +
                  Quote(K5_MAIN_PROGRAM) + " " + args + " >" + Quote(outFile) + " 2>" + Quote(errFile) +
                  " </dev/null",
              &code);
        out = ReadAll(outFile);
        err = ReadAll(errFile);
    }
    std::string Only(const std::string& part) {
        for (const std::string& f : FilesIn(protocolFolder))
            if (f.find(part) != std::string::npos) return protocolFolder + "/" + f;
        return std::string();
    }
};

TEST_F(Headless, BadFlagsAndAnUnexpectedError) {
    Run("--batch --limit -3"); // never read as 0
    EXPECT_EQ(code, 2);
    EXPECT_THAT(err, HasSubstr("Использование:"));
    Run("--batch --folder " + Quote(root + "/нет такой папки"));
    EXPECT_EQ(code, 2);
    EXPECT_THAT(out, HasSubstr("Не найдена папка базы данных"));
    EXPECT_THAT(err, AllOf(HasSubstr("[K5VedovodeduzOR::ProphylaxisFrm.StartRun]\n"
                                     "[K5VedovodeduzOR::ProphylaxisFrm.SaveRtf]"),
                           HasSubstr("Непредвиденная ошибка 76")));
}

// The window's program takes no switches of the scripts: "--autorun --tick-all" would run
// a whole maintenance with replacement and no question. It says so and touches nothing.
TEST_F(Headless, WindowProgramRefusesScriptSwitches) {
    MakeFolder();
    SetSetting(folder);
    const std::string before = ReadAll(mainFile);
    Run("--autorun --tick-all");
    EXPECT_EQ(code, 2) << out << err;
    EXPECT_THAT(err, AllOf(HasSubstr("неизвестный параметр: --autorun"), HasSubstr("Использование:")));
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb"}));
    EXPECT_FALSE(Exists(protocolFolder));
    EXPECT_EQ(ReadAll(mainFile), before);
}

// The setting gives the folder. The check alone leaves its two logs (text in Windows-1251) and
// nothing else; a full run replaces the file (exit 0), which keeps the backup name without a trash.
TEST_F(Headless, CheckThenFullRunOnTheFolderOfTheSetting) {
    MakeFolder();
    SetSetting(folder);
    const std::string before = ReadAll(mainFile);
    Run("--batch --check-only");
    EXPECT_EQ(code, 0) << out << err;
    EXPECT_THAT(
        out,
        HasSubstr("Предварительные проверки пройдены.\nМожно запускать процесс профилактики базы данных.\n"));
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb"}));
    ASSERT_EQ(FilesIn(protocolFolder).size(), 2u);
    EXPECT_THAT(ReadAll(Only(".txt")),
                HasSubstr("\xcf\xf0\xe5\xe4\xe2\xe0\xf0\xe8\xf2\xe5\xeb\xfc\xed\xfb\xe5"));

    std::ofstream(root + "/not-a-folder") << "x"; // the trash cannot be made under a file
    Run("--batch", root + "/not-a-folder/data");
    EXPECT_EQ(code, 0) << out << err;
    // Plain text: the two halves of a step share one line; no marker, no CR, no colours.
    EXPECT_THAT(out, AllOf(HasSubstr(": Сжатие основного файла БД " + folder +
                                     "/Korund5_Prophylaxis.mdb завершено успешно.\n"),
                           Not(HasSubstr(" ...")), Not(HasSubstr("\r")), Not(HasSubstr("\033[")),
                           HasSubstr(": Профилактика БД завершена успешно.\n")));
    const std::string zip = Only(".zip");
    const std::string stamp = zip.substr(zip.find("_резервная_копия_"));
    const std::string backup = "Korund5" + stamp.substr(0, stamp.size() - 4) + ".mdb";
    EXPECT_THAT(out, HasSubstr("переименован в: " + backup + ".\n"));
    EXPECT_TRUE(ReadAll(folder + "/" + backup) == before);
    EXPECT_EQ(FilesIn(folder).size(), 3u);
}
#endif

} // namespace k5::mtest
