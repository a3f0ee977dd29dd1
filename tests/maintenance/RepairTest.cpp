// Whole runs as "Выполнить" starts them, one per outcome of the repair sequence: the
// protocol, the files left in the database folder, the archive and the trash.
#include "Fixtures.h"
#include "support/Error.h"

#include <QUrl>

#include <algorithm>

using namespace k5;
using namespace k5::mtest;

namespace {

struct Repair : RunFixture {
    std::string before;

    void Make(Version mainVersion = {}, bool duplicates = false) {
        MakeFolder(mainVersion, {}, duplicates);
        before = ReadAll(mainFile);
        options.folderText = folder;
    }
    std::string Zip() { return protocolFolder + "/Korund5" + state.mBackupSuffix + ".zip"; }
    std::string Backup() { return folder + "/Korund5" + state.mBackupSuffix + ".mdb"; }
    bool MainUnchanged() { return ReadAll(mainFile) == before; }
    void ExpectEnd(const std::string& lines) { EXPECT_TRUE(Pane().ends_with(lines)) << Pane(); }
    // The trash entries that came from this test's main file.
    std::vector<std::string> TrashedHere() {
        std::vector<std::string> out;
        for (const std::string& info : FilesIn(trash + "/info")) {
            const std::string text = ReadAll(trash + "/info/" + info);
            const size_t at = text.find("Path=") + 5;
            const std::string path = text.substr(at, text.find('\n', at) - at);
            if (QUrl::fromPercentEncoding(QByteArray::fromStdString(path)).toStdString() == mainFile)
                out.push_back(info.substr(0, info.size() - std::string(".trashinfo").size()));
        }
        return out;
    }
    // The folders after a run: the database folder's files, then the protocol folder's.
    void ExpectFiles(std::vector<std::string> inFolder, bool withZip) {
        std::vector<std::string> logs{"Log_" + RunStampText() + ".rtf", "Log_" + RunStampText() + ".txt"};
        if (withZip) logs.insert(logs.begin(), "Korund5" + state.mBackupSuffix + ".zip");
        std::sort(inFolder.begin(), inFolder.end());
        EXPECT_EQ(FilesIn(folder), inFolder);
        EXPECT_EQ(FilesIn(protocolFolder), logs);
        EXPECT_EQ(TrashedHere().size(), withZip ? 1u : 0u);
    }
};

} // namespace

TEST_F(Repair, CheckPassFailedLeavesEverythingAsItWas) {
    Make({4, 1, 17});
    StartRun(ctx);
    EXPECT_FALSE(state.mProphylaxisOk);
    ExpectEnd("Дальнейшая работа программы невозможна.\r\n");
    EXPECT_FALSE(Has("Заданы параметры профилактики"));
    EXPECT_TRUE(MainUnchanged());
    ExpectFiles({"Korund5.mdb", "Korund5_LastVer.mdb"}, false);
}

TEST_F(Repair, StopDuringTheCopyLeavesTheMainFileAndThePartialCopy) {
    Make();
    ui.onYield = [&] { state.mStopRequested = state.mStopRequested || Has("Копирование таблиц"); };
    StartRun(ctx);
    ExpectEnd(std::string(kStamp) + "Профилактика БД прервана пользователем.\r\n" + kStamp +
              "Исходный файл БД оставлен без изменений.\r\n");
    EXPECT_FALSE(Has("Сжатие"));
    EXPECT_TRUE(MainUnchanged());
    ExpectFiles({"Korund5.mdb", "Korund5_LastVer.mdb", "Korund5_Prophylaxis.mdb"}, false);
}

TEST_F(Repair, FailuresKeepTheMainFileAndLeaveTheCompactedCopy) {
    Make({}, /*duplicates=*/true);
    StartRun(ctx);
    EXPECT_FALSE(state.mProphylaxisOk);
    const std::string newFile = folder + "/Korund5_Prophylaxis.mdb";
    EXPECT_TRUE(Shows(std::string(kStamp) + "Сжатие файла \"" + newFile + "\" завершено успешно.\r\n"));
    ExpectEnd(std::string(kStamp) + "Профилактика БД завершена. БД готова к эксплуатации.\r\n" + kStamp +
              "Исходный файл БД (Korund5.mdb) оставлен без изменений.\r\n");
    EXPECT_EQ(log.Pane().Runs().back().colour, kColourDarkRed);
    EXPECT_TRUE(MainUnchanged());
    ExpectFiles({"Korund5.mdb", "Korund5_LastVer.mdb", "Korund5_Prophylaxis.mdb"}, false);
    EXPECT_EQ(OrgRows(newFile), 199); // the duplicate was refused
}

TEST_F(Repair, CleanRunReplacesArchivesAndTrashesTheOldFile) {
    Make();
    // As under the window: long engine calls report through the user, always from this thread.
    ctx.engine.SetProgressHook(
        [this](int64_t done, int64_t total) { ui.Progress(std::string(), done, total); });
    StartRun(ctx);
    ctx.engine.SetProgressHook(nullptr);
    EXPECT_EQ(ui.yieldsOffThread, 0);
    ASSERT_TRUE(state.mProphylaxisOk) << Pane();
    EXPECT_TRUE(Shows(std::string(kStamp) + "Сжатие основного файла БД " + folder +
                      "/Korund5_Prophylaxis.mdb завершено успешно.\r\n"));
    EXPECT_TRUE(Shows(
        std::string(kStamp) + "Архивирование исходного файла БД в zip-архив завершено успешно.\r\n" + kStamp +
        "Оригинал файла Korund5.mdb (до профилактики) запакован в zip-архив: \r\n   " + Zip() + ".\r\n"));
    ExpectEnd(std::string(kStamp) + "Профилактика БД завершена успешно.\r\n");
    EXPECT_EQ(log.Pane().Runs().back().colour, kColourGreen);
    // The folder holds the rebuilt database and nothing of the work files.
    ExpectFiles({"Korund5.mdb", "Korund5_LastVer.mdb"}, true);
    EXPECT_FALSE(MainUnchanged());
    EXPECT_EQ(OrgRows(mainFile), 200);
    // The archive holds exactly the old file, and the old file is in the trash.
    int code = -1;
    EXPECT_EQ(Shell("unzip -Z1 " + Quote(Zip()), &code), "Korund5.mdb\n");
    EXPECT_TRUE(Shell("unzip -p " + Quote(Zip()) + " Korund5.mdb", &code) == before);
    ASSERT_EQ(TrashedHere().size(), 1u);
    EXPECT_TRUE(ReadAll(trash + "/files/" + TrashedHere()[0]) == before);
}

TEST_F(Repair, VanishedProtocolFolderKeepsTheOldFileUnderTheBackupName) {
    for (bool staleBackup : {false, true}) {
        SCOPED_TRACE(staleBackup);
        QDir(QString::fromStdString(folder)).removeRecursively();
        QDir().mkpath(QString::fromStdString(folder));
        log.Pane().Clear();
        Make();
        // The protocol folder goes away while the new file is being compacted (and a file
        // already holds the backup name).
        ui.onYield = [&] {
            if (Has("Сжатие основного файла БД") && Exists(protocolFolder)) {
                QDir(QString::fromStdString(protocolFolder)).removeRecursively();
                if (staleBackup) std::ofstream(Backup()) << "stale";
            }
        };
        // Saving the RTF log into the vanished folder is the error that ends the run.
        EXPECT_THAT(ErrorOf([&] { StartRun(ctx); }),
                    HasSubstr("[K5VedovodeduzOR::ProphylaxisFrm.StartRun]\r\n"
                              "[K5VedovodeduzOR::ProphylaxisFrm.SaveRtf]"));
        EXPECT_TRUE(
            Shows(std::string(kStamp) +
                  "Архивирование исходного файла БД в zip-архив завершено с ошибкой: не найдена папка " +
                  protocolFolder + "/\r\n("));
        EXPECT_TRUE(Shows(std::string(kStamp) +
                          "Оригинал файла Korund5.mdb (до профилактики) переименован в: Korund5" +
                          state.mBackupSuffix + ".mdb.\r\n"));
        ExpectEnd(std::string(kStamp) + "Профилактика БД завершена. БД готова к эксплуатации.\r\n");
        EXPECT_TRUE(ReadAll(Backup()) == before);
        EXPECT_EQ(OrgRows(mainFile), 200);
        EXPECT_EQ(FilesIn(folder).size(), 3u); // the backup, the new main file and the reference
        EXPECT_FALSE(Exists(protocolFolder));
        EXPECT_TRUE(TrashedHere().empty());
    }
}
