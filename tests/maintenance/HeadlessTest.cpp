// The built program in its headless mode: what it prints, what it leaves and how it exits.
#include "Fixtures.h"

namespace k5::mtest {

#ifdef K5_MAIN_PROGRAM
struct Headless : RunFixture {
    int code = -1;
    std::string out, err;
    // With its own trash and settings; output into files, so no colours and no progress.
    void Run(const std::string& args, const std::string& dataHome = std::string(),
             const std::string& cwd = std::string()) {
        const std::string outFile = root + "/out.txt", errFile = root + "/err.txt";
        Shell("cd " + Quote(cwd.empty() ? root : cwd) +
                  " && timeout 120 env XDG_DATA_HOME=" + Quote(dataHome.empty() ? root + "/data" : dataHome) +
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

// Without a known database folder nothing is written anywhere (not even relative to the
// working folder, which here holds a protocol folder of its own): the check fails (1) and
// one line on standard error says that the log was not saved and why.
TEST_F(Headless, NoDatabaseFolderWritesNothing) {
    const std::string cwdProtocol = root + "/work/Профилактика_БД";
    QDir().mkpath(QString::fromStdString(cwdProtocol));
    const struct {
        std::string args, reason;
    } cases[] = {{"--batch", "не задана папка базы данных."},
                 {"--batch --check-only", "не задана папка базы данных."},
                 {"--batch --folder " + Quote(root + "/нет такой папки"),
                  "не найдена папка базы данных \"" + root + "/нет такой папки/\"."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Run(c.args, std::string(), root + "/work");
        EXPECT_EQ(code, 1) << err;
        EXPECT_EQ(err, "Протокол не сохранён: " + c.reason + "\n");
        EXPECT_THAT(out, HasSubstr("Дальнейшая работа программы невозможна."));
        EXPECT_TRUE(FilesIn(cwdProtocol).empty());
        EXPECT_FALSE(Exists(root + "/нет такой папки"));
    }
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
