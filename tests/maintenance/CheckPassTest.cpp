// The check pass on scratch database folders: the entries, the verdict and what it leaves.
#include "Fixtures.h"
#include "maintenance/Prophylaxis.h"

namespace k5::mtest {

const std::string kNoWay = "Дальнейшая работа программы невозможна.\r\n";

using CheckPass = RunFixture;

// The limit is normalised even then.
TEST_F(CheckPass, NoSettingAndEmptyFieldGivesOnlyTheSettingLinesAndTheVerdict) {
    options.limitText = "  12 ";
    Prophylaxis(ctx, false);
    EXPECT_EQ(options.limitText, "12");
    EXPECT_EQ(state.mMaxErrorMessages, 12);
    EXPECT_EQ(Pane(), std::string(kStamp) + "Microsoft DAO версия " + db::DBEngine::Instance().Version() +
                          "\r\n" + kStamp +
                          "В настройках программы отсутствует информация о расположении базы данных.\r\n" +
                          kStamp + "Возможно, следует переустановить программу.\r\n" + kStamp + kNoWay);
    EXPECT_TRUE(RunWith(kNoWay).colour == kColourDarkRed && RunWith(kNoWay).bold);
    EXPECT_FALSE(state.mProphylaxisOk);
}

// Each fault gives its lines, the pass goes on to the end, and the verdict is negative.
TEST_F(CheckPass, FaultsOfTheFolder) {
    const std::string noRef = "\" не найден файл \"Korund5_LastVer.mdb\".\r\n" + std::string(kStamp) +
                              "Данный файл поставляется в составе дистрибутива программы и необходим для "
                              "обновления и профилактики базы данных. \r\n";
    const struct {
        int mainMinor;
        bool withMain, withRef;
        std::string line;
    } cases[] = {{2, false, true, "\" не найден файл базы данных \"Korund5.mdb\".\r\n"},
                 {2, true, false, noRef},
                 {1, true, true, "Не совпадают версии файлов баз данных (4.1.17 и 4.2.17)."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        QDir(QString::fromStdString(folder)).removeRecursively();
        QDir().mkpath(QString::fromStdString(folder));
        log.Pane().Clear();
        if (c.withMain) MakeDatabase(mainFile, false, c.mainMinor);
        if (c.withRef) MakeDatabase(refFile, true);
        options.folderText = folder;
        Prophylaxis(ctx, false);
        EXPECT_TRUE(Shows(c.line));
        EXPECT_EQ(Has("Размер файла"), c.withMain);
        // Without the main file the free space is that of the folder's disk.
        EXPECT_TRUE(Shows("Свободное место на диске " + FilesLib().DiskName(folder) + " - "));
        EXPECT_TRUE(Shows("Возможность записи в папку \"" + protocolFolder + "/\" проверена."));
        EXPECT_TRUE(Pane().ends_with(kStamp + kNoWay)) << Pane();
        EXPECT_FALSE(state.mProphylaxisOk);
        if (!c.withRef) EXPECT_EQ(RunWith("Данный файл поставляется").colour, kColourBlack);
    }
}

// Files without a version table: one line each, in their own wording ("Файла" for the main
// file), both failures; the format line still follows each.
TEST_F(CheckPass, VersionsThatCannotBeRead) {
    MakeFolder();
    for (const std::string& file : {mainFile, refFile})
        db::test::OpenDb(file, true, false)->Execute("DROP TABLE DBVersion");
    options.folderText = folder;
    Prophylaxis(ctx, false);
    for (const auto& [path, wording] : {std::pair{mainFile, "Файла"}, std::pair{refFile, "файла"}}) {
        const std::string line = std::string("Не удалось определить версию базы данных из ") + wording +
                                 ": \"" + path + "\".\r\n" + kStamp + "Версия формата файла базы данных \"" +
                                 path + "\": ";
        EXPECT_TRUE(Shows(kStamp + line));
        EXPECT_EQ(RunWith("версию базы данных из " + std::string(wording)).colour, kColourDarkRed);
    }
    EXPECT_FALSE(Has("Не совпадают версии"));
    EXPECT_FALSE(state.mProphylaxisOk);
}

// The failure entries (the library's once), then the error reaches the handler: no verdict.
TEST_F(CheckPass, LibraryUnavailableEndsThePassWithAnErrorAndNoVerdict) {
    MakeFolder();
    options.folderText = folder;
    gFilesLibUnavailable = true;
    EXPECT_THAT(ErrorOf([&] { Prophylaxis(ctx, true); }),
                HasSubstr("[K5VedovodeduzOR::ProphylaxisFrm.Prophylaxis]"));
    const std::string library = "Не удалось обратиться к библиотеке K5_Lib.dll. Возможные причины:\r\n";
    EXPECT_TRUE(Shows(library));
    EXPECT_EQ(Pane().find(library), Pane().rfind(library)) << "written once";
    EXPECT_EQ(RunWith("K5_Lib.dll отсутствует").colour, kColourDarkRed);
    EXPECT_TRUE(Shows("Не удалось определить размер файла \"Korund5.mdb\"."));
    EXPECT_FALSE(Has("Дальнейшая работа") || Has("пройдены"));
    EXPECT_FALSE(Exists(folder + "/Korund5_Prophylaxis.mdb"));
}

TEST_F(CheckPass, MainFileHeldByAnotherProcessGivesTheInUseLineAndTheAdvice) {
    MakeFolder();
    options.folderText = folder;
    {
        db::test::Holder holder(mainFile, true, false);
        ASSERT_TRUE(holder.Opened());
        Prophylaxis(ctx, false);
    }
    EXPECT_TRUE(Shows("Файл базы данных \"" + mainFile +
                      "\" не удалось открыть в монопольном режиме, поскольку он "
                      "уже открыт и используется еще какой-то программой."));
    EXPECT_TRUE(Shows(kNoWay + "Закройте программу Корунд-5W или другие программы ПК \"Корунд-5\""));
    EXPECT_FALSE(state.mProphylaxisOk);
}

} // namespace k5::mtest
