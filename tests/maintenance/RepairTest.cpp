// Whole runs as "Выполнить" starts them, one per outcome of the repair sequence: the
// protocol, the files left in the database folder, the archive and the trash.
#include "RunFixture.h"

#include "maintenance/RunStart.h"
#include "support/Error.h"

#include <QCryptographicHash>
#include <QFile>
#include <QUrl>

#include <algorithm>
#include <thread>

using namespace k5;
using namespace k5::runtest;
using k5test::Quote;
using k5test::Shell;

namespace {

std::string Sha1(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) return "(missing)";
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex().toStdString();
}

class Repair : public RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        options.folderText = folder;
    }
    std::string F() { return folder + "/"; }
    std::string Zip() { return protocolFolder + "/Korund5" + state.mBackupSuffix + ".zip"; }
    std::string Backup() { return F() + "Korund5" + state.mBackupSuffix + ".mdb"; }
    std::string LastLines(int n) {
        const std::string t = Pane();
        size_t pos = t.size();
        for (int i = 0; i <= n && pos != std::string::npos && pos > 0; ++i)
            pos = t.rfind("\r\n", pos - 1);
        return pos == std::string::npos ? t : t.substr(pos + 2);
    }
    // The trash entries that came from this test's main file.
    std::vector<std::string> TrashedHere() {
        std::vector<std::string> out;
        for (const std::string& info : FilesIn(trash + "/info")) {
            const std::string text = k5test::ReadAll(trash + "/info/" + info);
            const size_t at = text.find("Path=");
            if (at == std::string::npos) continue;
            const std::string encoded = text.substr(at + 5, text.find('\n', at) - at - 5);
            if (QUrl::fromPercentEncoding(QByteArray::fromStdString(encoded)).toStdString() == mainFile)
                out.push_back(info.substr(0, info.size() - std::string(".trashinfo").size()));
        }
        return out;
    }
    std::vector<std::string> ProtocolFiles(bool withZip) {
        std::vector<std::string> v{"Log_" + RunStampText() + ".rtf", "Log_" + RunStampText() + ".txt"};
        if (withZip) v.insert(v.begin(), "Korund5" + state.mBackupSuffix + ".zip");
        std::sort(v.begin(), v.end());
        return v;
    }
};

} // namespace

TEST_F(Repair, CheckPassFailedLeavesEverythingAsItWas) {
    MakeFolder({4, 1, 17}, {4, 2, 17});
    const std::string before = Sha1(mainFile);
    StartRun(ctx);
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(Has("Дальнейшая работа программы невозможна."));
    EXPECT_FALSE(Has("Заданы параметры профилактики"));
    EXPECT_EQ(Sha1(mainFile), before);
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb"}));
    EXPECT_EQ(FilesIn(protocolFolder), ProtocolFiles(false));
    EXPECT_TRUE(TrashedHere().empty());
    // The text log starts with the first entry written after the protocol folder existed.
    const std::string txt = k5test::ReadAll(protocolFolder + "/Log_" + RunStampText() + ".txt");
    EXPECT_NE(txt.find("\r\n"), std::string::npos);
}

TEST_F(Repair, StopDuringTheCopyLeavesTheMainFileAndThePartialCopy) {
    MakeFolder();
    const std::string before = Sha1(mainFile);
    ui.onYield = [&] {
        if (Pane().find("Копирование таблиц") != std::string::npos) state.mStopRequested = true;
    };
    StartRun(ctx);
    EXPECT_EQ(LastLines(2), std::string(kStamp) + "Профилактика БД прервана пользователем.\r\n" + kStamp +
                                "Исходный файл БД оставлен без изменений.\r\n");
    EXPECT_FALSE(Has("Сжатие"));
    EXPECT_EQ(Sha1(mainFile), before);
    EXPECT_TRUE(Exists(F() + "Korund5_Prophylaxis.mdb"));
    EXPECT_FALSE(Exists(F() + "Korund5_Compact.mdb"));
    EXPECT_EQ(FilesIn(protocolFolder), ProtocolFiles(false));
    EXPECT_TRUE(TrashedHere().empty());
}

TEST_F(Repair, FailuresKeepTheMainFileAndLeaveTheCompactedCopy) {
    MakeFolder({}, {}, /*duplicates=*/true);
    const std::string before = Sha1(mainFile);
    StartRun(ctx);
    EXPECT_FALSE(state.mProphylaxisOk);
    const std::string newFile = F() + "Korund5_Prophylaxis.mdb";
    EXPECT_TRUE(Has(std::string(kStamp) + "Сжатие файла \"" + newFile + "\" завершено успешно.\r\n"))
        << Pane();
    EXPECT_TRUE(Has("Размер файла БД \"" + newFile + "\" - ")) << Pane();
    EXPECT_EQ(LastLines(2), std::string(kStamp) + "Профилактика БД завершена. БД готова к эксплуатации.\r\n" +
                                kStamp + "Исходный файл БД (Korund5.mdb) оставлен без изменений.\r\n");
    const auto& runs = log.Pane().Runs();
    EXPECT_EQ(runs.back().colour, kColourDarkRed);
    EXPECT_TRUE(runs.back().bold);
    EXPECT_EQ(Sha1(mainFile), before);
    EXPECT_EQ(FilesIn(folder),
              (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb", "Korund5_Prophylaxis.mdb"}));
    EXPECT_EQ(OrgRows(newFile), 199); // the duplicate was refused
    EXPECT_EQ(FilesIn(protocolFolder), ProtocolFiles(false));
    EXPECT_TRUE(TrashedHere().empty());
}

TEST_F(Repair, CleanRunReplacesArchivesAndTrashesTheOldFile) {
    MakeFolder();
    const std::string before = Sha1(mainFile);
    StartRun(ctx);
    ASSERT_TRUE(state.mProphylaxisOk) << Pane();
    const std::string newFile = F() + "Korund5_Prophylaxis.mdb";
    EXPECT_TRUE(
        Has(std::string(kStamp) + "Сжатие основного файла БД " + newFile + " завершено успешно.\r\n"));
    EXPECT_TRUE(Has(
        std::string(kStamp) + "Архивирование исходного файла БД в zip-архив завершено успешно.\r\n" + kStamp +
        "Оригинал файла Korund5.mdb (до профилактики) запакован в zip-архив: \r\n   " + Zip() + ".\r\n"))
        << Pane();
    EXPECT_TRUE(Has("Размер файла БД \"Korund5.mdb\" - ")) << Pane();
    EXPECT_TRUE(Has(" (до профилактики - ")) << Pane();
    EXPECT_EQ(LastLines(1), std::string(kStamp) + "Профилактика БД завершена успешно.\r\n");
    EXPECT_EQ(log.Pane().Runs().back().colour, kColourGreen);

    // The folder holds the rebuilt database and nothing of the work files.
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb"}));
    EXPECT_NE(Sha1(mainFile), before);
    EXPECT_EQ(OrgRows(mainFile), 200);
    EXPECT_EQ(FilesIn(protocolFolder), ProtocolFiles(true));

    // The archive holds exactly the old file, byte for byte.
    int code = -1;
    const std::string listing = Shell("unzip -Z1 " + Quote(Zip()), &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(listing, "Korund5.mdb\n");
    const std::string extracted = root + "/extracted.mdb";
    Shell("unzip -p " + Quote(Zip()) + " Korund5.mdb > " + Quote(extracted), &code);
    EXPECT_EQ(Sha1(extracted), before);

    // And the old file itself is in the trash with its info.
    const auto trashed = TrashedHere();
    ASSERT_EQ(trashed.size(), 1u);
    EXPECT_EQ(Sha1(trash + "/files/" + trashed[0]), before);

    // The RTF log is the pane, with the green verdict.
    const std::string html =
        Shell("unrtf --html " + Quote(protocolFolder + "/Log_" + RunStampText() + ".rtf") + " 2>/dev/null");
    EXPECT_NE(k5test::DecodeHtmlEntities(html).find("Профилактика БД завершена успешно."), std::string::npos);
}

TEST_F(Repair, ReplacementRegardlessOfFailuresEndsWithTheRedLine) {
    MakeFolder({}, {}, /*duplicates=*/true);
    options.zipAndRename = true;
    StartRun(ctx);
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_EQ(LastLines(1), std::string(kStamp) + "Профилактика БД завершена. БД готова к эксплуатации.\r\n");
    EXPECT_EQ(OrgRows(mainFile), 199);
    EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"Korund5.mdb", "Korund5_LastVer.mdb"}));
    EXPECT_EQ(FilesIn(protocolFolder), ProtocolFiles(true));
    EXPECT_EQ(TrashedHere().size(), 1u);
}

TEST_F(Repair, VanishedProtocolFolderKeepsTheOldFileUnderTheBackupName) {
    MakeFolder();
    const std::string before = Sha1(mainFile);
    // The protocol folder goes away while the new file is being compacted.
    ui.onYield = [&] {
        if (Pane().find("Сжатие основного файла БД") != std::string::npos && Exists(protocolFolder))
            QDir(QString::fromStdString(protocolFolder)).removeRecursively();
    };
    // Saving the RTF log into the vanished folder is the error that ends the run.
    try {
        StartRun(ctx);
        FAIL() << "saving the RTF log must fail";
    } catch (const K5Error& e) {
        EXPECT_NE(e.Description().find("[K5VedovodeduzOR::ProphylaxisFrm.StartRun]\r\n"
                                       "[K5VedovodeduzOR::ProphylaxisFrm.SaveRtf]"),
                  std::string::npos)
            << e.Description();
    }
    EXPECT_TRUE(Has(std::string(kStamp) +
                    "Архивирование исходного файла БД в zip-архив завершено с ошибкой: не найдена папка " +
                    protocolFolder + "/\r\n("))
        << Pane();
    EXPECT_TRUE(Has(std::string(kStamp) +
                    "Оригинал файла Korund5.mdb (до профилактики) переименован в: Korund5" +
                    state.mBackupSuffix + ".mdb.\r\n"));
    EXPECT_EQ(LastLines(1), std::string(kStamp) + "Профилактика БД завершена. БД готова к эксплуатации.\r\n");
    EXPECT_EQ(Sha1(Backup()), before);
    EXPECT_EQ(OrgRows(mainFile), 200);
    std::vector<std::string> expected{"Korund5" + state.mBackupSuffix + ".mdb", "Korund5.mdb",
                                      "Korund5_LastVer.mdb"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FilesIn(folder), expected);
    EXPECT_FALSE(Exists(protocolFolder));
    EXPECT_TRUE(TrashedHere().empty());
}

TEST_F(Repair, AnExistingFileUnderTheBackupNameIsReplaced) {
    MakeFolder();
    const std::string before = Sha1(mainFile);
    ui.onYield = [&] {
        if (Pane().find("Сжатие основного файла БД") != std::string::npos && Exists(protocolFolder)) {
            QDir(QString::fromStdString(protocolFolder)).removeRecursively();
            std::ofstream(Backup()) << "stale";
        }
    };
    EXPECT_THROW(StartRun(ctx), K5Error);
    EXPECT_EQ(Sha1(Backup()), before);
}

TEST_F(Repair, AStampWithAnArchiveOnDiskIsNotReused) {
    MakeFolder();
    QDir().mkpath(QString::fromStdString(protocolFolder));
    // Every stamp of the next few seconds already has an archive, except the last.
    int pauses = 0;
    std::string last;
    gRunStampPause = [&](MaintenanceContext&) {
        ++pauses;
        while (RunStamp() == last)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        last = RunStamp();
        if (pauses < 3) std::ofstream(protocolFolder + "/Korund5_резервная_копия_" + last + ".zip") << "old";
    };
    options.folderText = folder;
    // Only the names matter here: a run whose check pass fails is enough.
    QFile::remove(QString::fromStdString(refFile));
    StartRun(ctx);
    EXPECT_EQ(pauses, 3);
    EXPECT_FALSE(Exists(Zip()));
    EXPECT_EQ(state.mLogFileTxt, protocolFolder + "/Log_" + RunStampText() + ".txt");
    EXPECT_EQ(state.mLogFileRtf, protocolFolder + "/Log_" + RunStampText() + ".rtf");
    EXPECT_TRUE(Exists(state.mLogFileRtf));
}
