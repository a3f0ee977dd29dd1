// The check pass on scratch database folders: the entries, the verdict and what it leaves.
#include "RunFixture.h"

#include "maintenance/Prophylaxis.h"
#include "support/Error.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace k5;
using namespace k5::runtest;

namespace {

class CheckPass : public RunFixture {
protected:
    std::string Engine() {
        return kStamp + std::string("Microsoft DAO версия ") + db::DBEngine::Instance().Version();
    }
    std::string F() { return folder + "/"; }
};

} // namespace

TEST_F(CheckPass, NoSettingAndEmptyFieldGivesOnlyTheSettingLinesAndTheVerdict) {
    Prophylaxis(ctx, false);
    EXPECT_EQ(Pane(), Engine() + "\r\n" + kStamp +
                          "В настройках программы отсутствует информация о расположении базы данных.\r\n" +
                          kStamp + "Возможно, следует переустановить программу.\r\n" + kStamp +
                          "Дальнейшая работа программы невозможна.\r\n");
    EXPECT_FALSE(state.mProphylaxisOk);
    // The last run is the bold dark-red verdict.
    const auto& runs = log.Pane().Runs();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.back().colour, kColourDarkRed);
    EXPECT_TRUE(runs.back().bold);
    EXPECT_EQ(options.limitText, "0");
}

TEST_F(CheckPass, AllPassedWithoutRunFlagEndsWithGreenVerdictAndWritesNothing) {
    MakeFolder();
    SetSetting(folder); // no final slash
    options.limitText = "  12 ";
    Prophylaxis(ctx, false);
    EXPECT_TRUE(state.mProphylaxisOk) << Pane();
    EXPECT_EQ(options.folderText, F());
    EXPECT_EQ(options.limitText, "12");
    EXPECT_EQ(state.mMaxErrorMessages, 12);
    EXPECT_EQ(state.mDataBaseVersion, "4.2.17");
    const std::string text = Pane();
    for (const std::string& line : {
             "Папка базы данных \"" + F() + "\" найдена.",
             "Файл базы данных \"" + mainFile + "\" найден.",
             "Версия базы данных из файла \"" + mainFile + "\": 4.2.17.",
             "Версия формата файла базы данных \"" + refFile + "\": ",
             "Возможность записи в папку \"" + F() + "\" проверена.",
             std::string("Размер файла \"Korund5.mdb\" - "),
             "Возможность записи в папку \"" + F() + "Профилактика_БД/\" проверена.",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    const std::string tail =
        std::string(kStamp) +
        "Предварительные проверки пройдены.\r\nМожно запускать процесс профилактики базы данных.\r\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    const auto& runs = log.Pane().Runs();
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[runs.size() - 2].colour, kColourGreen);
    EXPECT_TRUE(runs[runs.size() - 2].bold);
    // The protocol folder was made without an entry of its own; no log, no work file.
    EXPECT_TRUE(Exists(protocolFolder));
    EXPECT_EQ(text.find("Не удалось создать папку"), std::string::npos);
    EXPECT_TRUE(FilesIn(protocolFolder).empty());
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb"}));
}

TEST_F(CheckPass, MissingMainFileStillChecksTheRestButSkipsTheSize) {
    MakeDatabase(refFile, true, {});
    options.folderText = folder;
    Prophylaxis(ctx, false);
    const std::string text = Pane();
    EXPECT_NE(text.find("В папке \"" + F() + "\" не найден файл базы данных \"Korund5.mdb\"."),
              std::string::npos);
    EXPECT_NE(text.find("Версия базы данных из файла \"" + refFile + "\": 4.2.17."), std::string::npos);
    EXPECT_EQ(text.find("Не совпадают"), std::string::npos);
    EXPECT_EQ(text.find("Размер файла"), std::string::npos);
    EXPECT_NE(text.find("Возможность записи в папку \"" + F() + "Профилактика_БД/\" проверена."),
              std::string::npos);
    EXPECT_NE(text.find("Дальнейшая работа программы невозможна."), std::string::npos);
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(CheckPass, MissingReferenceFileGivesTheExplanationInBlack) {
    MakeDatabase(mainFile, false, {});
    options.folderText = folder;
    Prophylaxis(ctx, false);
    const std::string text = Pane();
    const std::string missing =
        std::string(kStamp) + "В папке \"" + F() + "\" не найден файл \"Korund5_LastVer.mdb\".\r\n" + kStamp +
        "Данный файл поставляется в составе дистрибутива программы и необходим для обновления "
        "и профилактики базы данных. \r\n";
    EXPECT_NE(text.find(missing), std::string::npos) << text;
    bool explanationBlack = false;
    for (const auto& run : log.Pane().Runs()) {
        const std::string t = QString::fromStdU16String(run.text).toStdString();
        if (t.find("Данный файл поставляется") != std::string::npos)
            explanationBlack = run.colour == kColourBlack;
    }
    EXPECT_TRUE(explanationBlack);
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(CheckPass, VersionTextsCompareExactly) {
    struct Case {
        Version main, ref;
        bool ok;
    };
    for (const Case& c : {Case{{4, 2, 17}, {4, 2, 17}, true}, Case{{4, 1, 17}, {4, 2, 17}, false}}) {
        QFile::remove(QString::fromStdString(mainFile));
        QFile::remove(QString::fromStdString(refFile));
        MakeFolder(c.main, c.ref);
        options.folderText = folder;
        Prophylaxis(ctx, false);
        EXPECT_EQ(state.mProphylaxisOk, c.ok) << Pane();
        EXPECT_EQ(Has("Не совпадают версии файлов баз данных (4.1.17 и 4.2.17)."), !c.ok) << Pane();
    }
}

TEST_F(CheckPass, LibraryUnavailableEndsThePassWithAnErrorAndNoVerdict) {
    MakeFolder();
    options.folderText = folder;
    gFilesLibUnavailable = true;
    try {
        Prophylaxis(ctx, true);
        FAIL() << "the pass must end with an error";
    } catch (const K5Error& e) {
        EXPECT_NE(e.Description().find("[K5VedovodeduzOR::ProphylaxisFrm.Prophylaxis]"), std::string::npos)
            << e.Description();
    }
    EXPECT_TRUE(Has("Не удалось обратиться к библиотеке K5_Lib.dll. Возможные причины:\r\n"));
    EXPECT_TRUE(Has("Не удалось определить размер файла \"Korund5.mdb\"."));
    EXPECT_TRUE(Has("Свободное место на диске определить не удалось."));
    EXPECT_FALSE(Has("Дальнейшая работа"));
    EXPECT_FALSE(Has("пройдены"));
    EXPECT_FALSE(Exists(folder + "/Korund5_Prophylaxis.mdb"));
}

TEST_F(CheckPass, MainFileHeldByAnotherProcessGivesTheInUseLineAndTheAdvice) {
    MakeFolder();
    options.folderText = folder;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(mainFile.c_str(), O_RDWR);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    Prophylaxis(ctx, false);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    EXPECT_TRUE(Has("Файл базы данных \"" + mainFile +
                    "\" не удалось открыть в монопольном режиме, поскольку он уже открыт"))
        << Pane();
    EXPECT_FALSE(Has("Версия базы данных из файла \"" + mainFile));
    const std::string verdict =
        std::string(kStamp) + "Дальнейшая работа программы невозможна.\r\nЗакройте программу Корунд-5W";
    EXPECT_TRUE(Has(verdict)) << Pane();
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(CheckPass, RunFlagWritesTheParameterSummaryWithTheNormalisedFields) {
    MakeFolder();
    SetSetting(folder);
    options.limitText = "abc";
    options.clearPfrErrors = true;
    options.zipAndRename = true;
    state.mProtocolFolder = protocolFolder + "/";
    state.mBackupSuffix = "_резервная_копия_2021г03м15д09ч05м07с";
    Prophylaxis(ctx, true);
    const std::string summary =
        "Предварительные проверки пройдены.\r\n"
        "----------------------------------------------\r\n"
        "Заданы параметры профилактики: \r\n"
        "   Путь к папке с БД: " +
        F() +
        "\r\n"
        "   Максимальное количество сообщений об ошибках для каждой таблицы: 0\r\n"
        "   В таблицах удалять недоступные записи: Нет\r\n"
        "   Очистить результаты проверок документов персучета: Да\r\n"
        "   В подкаталоге \\BigDocs\\ удалять недоступные файлы: Нет\r\n"
        "   Сжимать файлы в подкаталоге \\BigDocs\\: Нет\r\n"
        "   Архивировать и переименовать Korund5.mdb независимо от результата профилактики: "
        "Да\r\n"
        "----------------------------------------------\r\n";
    EXPECT_TRUE(Has(summary)) << Pane();
}
