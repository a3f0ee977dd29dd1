// The check pass on scratch database folders: the entries, the verdict and what it leaves.
#include "Fixtures.h"
#include "maintenance/Prophylaxis.h"
#include "support/Error.h"

using namespace k5;
using namespace k5::mtest;

namespace {

struct CheckPass : RunFixture {
    std::string F() { return folder + "/"; }
    void ExpectVerdict(const std::string& verdict, uint32_t colour) {
        EXPECT_TRUE(Pane().ends_with(std::string(kStamp) + verdict)) << Pane();
        EXPECT_EQ(RunWith(verdict.substr(0, 20))->colour, colour);
        EXPECT_TRUE(RunWith(verdict.substr(0, 20))->bold);
    }
};

TEST_F(CheckPass, NoSettingAndEmptyFieldGivesOnlyTheSettingLinesAndTheVerdict) {
    Prophylaxis(ctx, false);
    EXPECT_EQ(Pane(), std::string(kStamp) + "Microsoft DAO версия " + db::DBEngine::Instance().Version() +
                          "\r\n" + kStamp +
                          "В настройках программы отсутствует информация о расположении базы данных.\r\n" +
                          kStamp + "Возможно, следует переустановить программу.\r\n" + kStamp +
                          "Дальнейшая работа программы невозможна.\r\n");
    ExpectVerdict("Дальнейшая работа программы невозможна.\r\n", kColourDarkRed);
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_EQ(options.limitText, "0");
}

// Setting without the final slash; the protocol folder is made without an entry of its own;
// without the run flag no log and no work file is written.
TEST_F(CheckPass, AllPassedWithoutRunFlagEndsWithGreenVerdictAndWritesNothing) {
    MakeFolder();
    SetSetting(folder);
    options.limitText = "  12 ";
    Prophylaxis(ctx, false);
    EXPECT_TRUE(state.mProphylaxisOk) << Pane();
    EXPECT_EQ(options.folderText, F());
    EXPECT_EQ(options.limitText, "12");
    EXPECT_EQ(state.mMaxErrorMessages, 12);
    EXPECT_EQ(state.mDataBaseVersion, "4.2.17");
    for (const std::string& line :
         {"Папка базы данных \"" + F() + "\" найдена.", "Файл базы данных \"" + mainFile + "\" найден.",
          "Версия базы данных из файла \"" + mainFile + "\": 4.2.17.",
          "Версия формата файла базы данных \"" + refFile + "\": ",
          "Возможность записи в папку \"" + F() + "\" проверена.",
          std::string("Размер файла \"Korund5.mdb\" - "),
          "Возможность записи в папку \"" + F() + "Профилактика_БД/\" проверена."})
        EXPECT_TRUE(Shows(line));
    ExpectVerdict(
        "Предварительные проверки пройдены.\r\nМожно запускать процесс профилактики базы данных.\r\n",
        kColourGreen);
    EXPECT_TRUE(Exists(protocolFolder));
    EXPECT_FALSE(Has("Не удалось создать папку"));
    EXPECT_TRUE(FilesIn(protocolFolder).empty());
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb"}));
}

TEST_F(CheckPass, MissingMainFileStillChecksTheRestButSkipsTheSize) {
    MakeDatabase(refFile, true, {});
    options.folderText = folder;
    Prophylaxis(ctx, false);
    EXPECT_TRUE(Shows("В папке \"" + F() + "\" не найден файл базы данных \"Korund5.mdb\"."));
    EXPECT_TRUE(Shows("Версия базы данных из файла \"" + refFile + "\": 4.2.17."));
    EXPECT_FALSE(Has("Не совпадают") || Has("Размер файла"));
    EXPECT_TRUE(Shows("Возможность записи в папку \"" + F() + "Профилактика_БД/\" проверена."));
    ExpectVerdict("Дальнейшая работа программы невозможна.\r\n", kColourDarkRed);
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(CheckPass, MissingReferenceFileGivesTheExplanationInBlack) {
    MakeDatabase(mainFile, false, {});
    options.folderText = folder;
    Prophylaxis(ctx, false);
    EXPECT_TRUE(Shows(std::string(kStamp) + "В папке \"" + F() +
                      "\" не найден файл \"Korund5_LastVer.mdb\".\r\n" + kStamp +
                      "Данный файл поставляется в составе дистрибутива программы и необходим для обновления "
                      "и профилактики базы данных. \r\n"));
    EXPECT_EQ(RunWith("Данный файл поставляется")->colour, kColourBlack);
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(CheckPass, VersionsMustMatch) {
    MakeFolder({4, 1, 17}, {4, 2, 17});
    options.folderText = folder;
    Prophylaxis(ctx, false);
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(Shows("Не совпадают версии файлов баз данных (4.1.17 и 4.2.17)."));
}

// The failure entries (the library's once), then the error reaches the handler: no verdict.
TEST_F(CheckPass, LibraryUnavailableEndsThePassWithAnErrorAndNoVerdict) {
    MakeFolder();
    options.folderText = folder;
    gFilesLibUnavailable = true;
    EXPECT_THAT(ErrorOf([&] { Prophylaxis(ctx, true); }),
                HasSubstr("[K5VedovodeduzOR::ProphylaxisFrm.Prophylaxis]"));
    const std::string library =
        "Не удалось обратиться к библиотеке K5_Lib.dll. Возможные причины:\r\n"
        "K5_Lib.dll отсутствует или не зарегистрирована в реестре или не соответствует "
        "версия.\r\n";
    EXPECT_TRUE(Shows(library));
    EXPECT_EQ(Pane().find(library), Pane().rfind(library)) << "written once";
    EXPECT_EQ(RunWith("K5_Lib.dll отсутствует")->colour, kColourDarkRed);
    EXPECT_TRUE(Has("Не удалось определить размер файла \"Korund5.mdb\"."));
    EXPECT_TRUE(Has("Свободное место на диске определить не удалось."));
    EXPECT_FALSE(Has("Дальнейшая работа") || Has("пройдены"));
    EXPECT_FALSE(Exists(folder + "/Korund5_Prophylaxis.mdb"));
}

TEST_F(CheckPass, MainFileHeldByAnotherProcessGivesTheInUseLineAndTheAdvice) {
    MakeFolder();
    options.folderText = folder;
    {
        HeldByOtherProcess holder(mainFile);
        ASSERT_TRUE(holder.Opened());
        Prophylaxis(ctx, false);
    }
    EXPECT_TRUE(
        Shows(std::string(kStamp) + "Файл базы данных \"" + mainFile +
              "\" не удалось открыть в монопольном режиме, поскольку он уже открыт и используется еще "
              "какой-то программой. Для дальнейшей работы программы этот файл необходимо открыть в "
              "монопольном режиме.\r\n"));
    EXPECT_FALSE(Has("Версия базы данных из файла \"" + mainFile));
    EXPECT_TRUE(Pane().ends_with(
        std::string(kStamp) + "Дальнейшая работа программы невозможна.\r\nЗакройте программу Корунд-5W или "
                              "другие программы ПК \"Корунд-5\" и начните профилактику БД заново, нажав на "
                              "кнопку \"Выполнить\".\r\n"))
        << Pane();
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(CheckPass, RunFlagWritesTheParameterSummaryWithTheNormalisedFields) {
    MakeFolder();
    SetSetting(folder);
    options.limitText = "abc";
    options.clearPfrErrors = options.zipAndRename = true;
    state.mProtocolFolder = protocolFolder + "/";
    state.mBackupSuffix = "_резервная_копия_2021г03м15д09ч05м07с";
    Prophylaxis(ctx, true);
    // The normalised folder and limit, and the options as set.
    EXPECT_TRUE(
        Shows("Предварительные проверки пройдены.\r\n----------------------------------------------\r\n"
              "Заданы параметры профилактики: \r\n   Путь к папке с БД: " +
              F() + "\r\n   Максимальное количество сообщений об ошибках для каждой таблицы: 0\r\n"));
    EXPECT_TRUE(Shows("   В таблицах удалять недоступные записи: Нет\r\n"
                      "   Очистить результаты проверок документов персучета: Да\r\n"));
    EXPECT_TRUE(Shows(
        "независимо от результата профилактики: Да\r\n----------------------------------------------\r\n"));
}

} // namespace
