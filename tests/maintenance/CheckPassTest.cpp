// The check pass on scratch database folders: the entries, the verdict and what it leaves.
#include "Fixtures.h"
#include "maintenance/Prophylaxis.h"
#include "maintenance/RunLocks.h"

#include <sys/stat.h>

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
        log.ClearPane();
        if (c.withMain) MakeDatabase(mainFile, false, c.mainMinor);
        if (c.withRef) MakeDatabase(refFile, true);
        options.folderText = folder;
        Prophylaxis(ctx, false);
        EXPECT_TRUE(Shows(c.line));
        EXPECT_EQ(Has("Размер файла"), c.withMain);
        // Without the main file the free space is that of the folder's disk.
        EXPECT_TRUE(Shows("Свободное место на диске " + FilesLib(env).DiskName(folder) + " - "));
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
    env.filesLibReachable = false;
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

// Another run holds the folder (from its check pass to its end): this pass refuses with the
// in-use line and the advice, and touches nothing; once the other run has ended it passes.
TEST_F(CheckPass, FolderHeldByAnotherRunGivesTheInUseLine) {
    MakeFolder();
    options.folderText = folder;
    const std::string before = ReadAll(mainFile);
    {
        RunLocks other(folder + "/");
        ASSERT_FALSE(other.FolderInUse());
        StartRun(ctx);
    }
    EXPECT_TRUE(Shows("Файл базы данных \"" + mainFile + "\" не удалось открыть в монопольном режиме"));
    EXPECT_TRUE(Shows(kNoWay + "Закройте программу Корунд-5W"));
    EXPECT_FALSE(
        Has("открыт успешно.\r\n" + std::string(kStamp) + "Версия базы данных из файла \"" + mainFile));
    EXPECT_TRUE(ReadAll(mainFile) == before);
    EXPECT_FALSE(Exists(folder + "/Korund5_Prophylaxis.mdb"));
    log.ClearPane();
    state.mAdviceText.clear();
    Prophylaxis(ctx, false);
    EXPECT_TRUE(state.mProphylaxisOk) << Pane();
}

// Work files of a killed run are removed by the next run before its checks, and only they: a
// BigDocs file left only under ".old" gets its name back, a link and other files stay.
TEST_F(CheckPass, WorkFilesOfAKilledRunAreRemoved) {
    MakeFolder(1); // versions differ: the pass fails after the clean-up, no repair
    options.folderText = folder;
    const std::string big = folder + "/BigDocs/", zip = protocolFolder + "/Korund5_резервная_копия_x.zip";
    QDir().mkpath(QString::fromStdString(big));
    QDir().mkpath(QString::fromStdString(protocolFolder));
    const std::vector<std::string> leftovers{folder + "/Korund5_Compact.mdb",
                                             folder + "/.k5move-a1B2c3",
                                             folder + "/k5w_test.tmp",
                                             zip + ".k5tmpQ1w2E3",
                                             zip + ".k5tmpQ1w2E3.zZ9yY8",
                                             zip + ".k5part",
                                             zip + ".k5part.aB3dE4",
                                             big + "7_1.mdb.pack",
                                             big + "8_1.mdb.old"};
    const std::vector<std::string> kept{folder + "/Korund5_Compact.mdb.txt", folder + "/.k5move-toolong1",
                                        big + "9_1.mdb.pack.bak", protocolFolder + "/Log.zip.k5tmpQ1w2E3",
                                        zip + ".k5part.toolong1"};
    for (const std::string& f : leftovers)
        std::ofstream(f) << (f.ends_with("k5w_test.tmp") ? "test" : "x");
    for (const std::string& f : kept)
        std::ofstream(f) << "x";
    std::ofstream(big + "7_1.mdb") << "document";
    ::symlink((folder + "/Korund5.mdb").c_str(), (big + "6_1.mdb.old").c_str());
    Prophylaxis(ctx, true);
    for (const std::string& f : leftovers)
        EXPECT_EQ(Exists(f), false) << f;
    for (const std::string& f : kept)
        EXPECT_TRUE(Exists(f)) << f;
    EXPECT_EQ(ReadAll(big + "8_1.mdb"), "x");
    EXPECT_TRUE(Shows("Файл \"" + big + "8_1.mdb.old\" возвращен под свое имя \"" + big + "8_1.mdb\"."));
    EXPECT_TRUE(Shows("Удален рабочий файл прерванной профилактики: \"" + zip + ".k5tmpQ1w2E3.zZ9yY8\"."));
    struct stat st {};
    EXPECT_EQ(::lstat((big + "6_1.mdb.old").c_str(), &st), 0);
}

// A damaged reference is refused like a file that cannot be opened, the damage as the reason.
TEST_F(CheckPass, DamagedReferenceIsRefused) {
    MakeFolder();
    options.folderText = folder;
    {
        std::string bytes = ReadAll(refFile);
        bytes[4096 + 7] = 0x7F; // fragmented bytes of the second page's header
        std::ofstream(refFile, std::ios::binary | std::ios::trunc) << bytes;
    }
    Prophylaxis(ctx, false);
    EXPECT_TRUE(Shows("Файл базы данных \"" + refFile +
                      "\" не удалось открыть по следующей причине:\r\nПроверка целостности файла обнаружила "
                      "повреждения:\r\n"));
    EXPECT_FALSE(Has("Версия базы данных из файла \"" + refFile));
    EXPECT_FALSE(state.mProphylaxisOk);
}

} // namespace k5::mtest
