#include "maintenance/BigDocs.h"
#include "CopyFixture.h"
#include "common/TestUtil.h"
#include "maintenance/Probes.h"

#include "support/FileUtils.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>

using namespace k5;
using namespace k5::copytest;

namespace {

// A file library whose size probe fails for one chosen file.
class SizeBlindFilesLib : public FilesLib {
public:
    std::string blind;
    double FileSize(const std::string& fileName) override {
        return fileName == blind ? -1 : FilesLib::FileSize(fileName);
    }
};

struct BigDocsFixture : ::testing::Test {
    RunState state;
    ScriptedInteraction ui;
    RunProtocol log{state, ui};
    FixedRunOptions options;
    MaintenanceContext ctx{state, log, ui, options, db::DBEngine::Instance()};
    QTemporaryDir dir;
    std::string folder, newDb, bigDocs;

    BigDocsFixture() {
        log.stampSource = [] { return std::string(kStamp); };
        gBigDocsPause = [](MaintenanceContext&) {};
        folder = dir.path().toStdString() + "/";
        newDb = folder + "Korund5_Prophylaxis.mdb";
        bigDocs = folder + "BigDocs/";
        state.mDataBaseFolder = folder;
        state.mProtocolFolder = folder + "Профилактика_БД/";
        state.mBackupSuffix = "_резервная_копия_2021г03м15д09ч05м07с";
        state.mFilesLib = CreateFilesLib();
        QDir().mkpath(QString::fromStdString(state.mProtocolFolder));
        QDir().mkpath(QString::fromStdString(bigDocs));
        auto database = db::DBEngine::Instance().CreateDatabase(newDb, db::dbLangCyrillic);
        AddTable(*database, "DOC_REGISTRY", {{"DOCUMENT_ID", db::dbLong}, {"TITLE", db::dbText, 100}},
                 {"DOCUMENT_ID"});
        AddRows(*database, "DOC_REGISTRY",
                {{int32_t(1), std::string("Акт")}, {int32_t(2), std::string("Счёт")}});
        database->Close();
    }
    ~BigDocsFixture() override { gBigDocsPause = nullptr; }

    // A per-document database with some rows and free pages (so compaction shrinks it).
    void DocFile(const std::string& name, int rows = 50) {
        auto database = db::DBEngine::Instance().CreateDatabase(bigDocs + name, db::dbLangCyrillic);
        AddTable(*database, "CELLS", {{"ID", db::dbLong}, {"TXT", db::dbMemo}});
        for (int i = 0; i < rows; ++i)
            AddRow(*database, "CELLS", {int32_t(i), std::string(2000, 'x')});
        database->Execute("DELETE FROM CELLS WHERE ID > 5");
        database->Close();
    }
    bool Exists(const std::string& path) { return QFileInfo::exists(QString::fromStdString(path)); }
};

} // namespace

TEST_F(BigDocsFixture, OrphanFilesAreRenamedAndListed) {
    DocFile("1_a.mdb");
    DocFile("2_b.mdb");
    DocFile("7_x.mdb");
    DocFile("9_y.MDB");
    CheckBigFolder(ctx, folder, newDb);

    const std::string text = log.Pane().Text();
    ASSERT_EQ(text.rfind("Поиск и переименование лишних файлов в подкаталоге BigDocs:\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\r\n" + bigDocs + "7_x.mdb-лишний-файл-"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\n" + bigDocs + "9_y.MDB-лишний-файл-"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nПереименовано файлов: 2\r\n\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find(kStamp), std::string::npos) << "no line of the check carries a time stamp";
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(Exists(bigDocs + "1_a.mdb"));
    EXPECT_TRUE(Exists(bigDocs + "2_b.mdb"));
    EXPECT_FALSE(Exists(bigDocs + "7_x.mdb"));
    const QStringList renamed = QDir(QString::fromStdString(bigDocs)).entryList({"7_x.mdb-*"}, QDir::Files);
    ASSERT_EQ(renamed.size(), 1);
    EXPECT_TRUE(
        renamed[0].contains(QRegularExpression("-лишний-файл-\\d{4}г\\d\\dм\\d\\dд\\d\\dч\\d\\dм\\d\\dс$")));
}

TEST_F(BigDocsFixture, NoOrphanLeavesTheVerdictAlone) {
    DocFile("1_a.mdb");
    CheckBigFolder(ctx, folder, newDb);
    EXPECT_EQ(
        log.Pane().Text(),
        "Поиск и переименование лишних файлов в подкаталоге BigDocs:\r\nПереименовано файлов: 0\r\n\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
}

TEST_F(BigDocsFixture, FileNamesAreNeverReadAsSql) {
    for (const char* hostile : {"1 OR 1=1_x.mdb", "5';DROP TABLE Doc_Registry;--_x.mdb"}) {
        SCOPED_TRACE(hostile);
        QDir(QString::fromStdString(bigDocs)).removeRecursively();
        QDir().mkpath(QString::fromStdString(bigDocs));
        DocFile(hostile, 1);
        try {
            CheckBigFolder(ctx, folder, newDb);
            FAIL() << "a name that does not start with a document number must end the check";
        } catch (const K5Error& e) {
            EXPECT_EQ(e.Description().rfind("[K5VedovodeduzOR::ProphylaxisFrm.CheckBigFolder]", 0), 0u);
            EXPECT_NE(e.Description().find("не начинается с номера документа"), std::string::npos);
        }
        EXPECT_TRUE(Exists(bigDocs + hostile)) << "nothing renamed";
        auto database = db::DBEngine::Instance().OpenDatabase(newDb, true, true);
        EXPECT_EQ(Count(*database, "DOC_REGISTRY"), 2);
    }
    EXPECT_EQ(DocumentIdOf("12345_1"), 12345);
    EXPECT_EQ(DocumentIdOf("12345"), 12345) << "no underscore: the whole base name";
    EXPECT_EQ(DocumentIdOf("-1_x"), std::nullopt);
    EXPECT_EQ(DocumentIdOf("_x"), std::nullopt);
    EXPECT_EQ(DocumentIdOf("1234567890123456789_x"), std::nullopt) << "beyond the engine's whole numbers";
}

TEST_F(BigDocsFixture, ArchiveFirstThenCompactWithSizes) {
    DocFile("1_a.mdb");
    DocFile("2_b.mdb");
    // Renamed by an earlier check: listed and archived, but neither compacted nor counted.
    const std::string renamed = "5_old.mdb-лишний-файл-2020г01м01д00ч00м00с";
    std::ofstream(bigDocs + renamed) << "not a database";
    const auto sizeOf = [&](const std::string& n) {
        return QFileInfo(QString::fromStdString(bigDocs + n)).size();
    };
    const qint64 before = sizeOf("1_a.mdb");
    CompactBigDocs(ctx, folder);

    const std::string zip = state.mProtocolFolder + "Korund5_BigDocs" + state.mBackupSuffix + ".zip";
    const std::string text = log.Pane().Text();
    EXPECT_NE(
        text.find(std::string(kStamp) +
                  "Архивирование файлов БД из папки BigDocs в zip-архив завершено "
                  "успешно.\r\n" +
                  kStamp +
                  "Оригиналы файлов из папки BigDocs (до профилактики) запакованы в zip-архив: \r\n   " +
                  zip + ".\r\nСжатие файлов в папке BigDocs:\r\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find(kStamp + std::string("Сжатие файла ") + bigDocs + "1_a.mdb завершено успешно ("),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("В папке BigDocs сжато файлов всего: 2 ("), std::string::npos) << text;
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_LT(sizeOf("1_a.mdb"), before) << "compaction gave the free pages back";

    int rc = -1;
    const std::string listing = k5test::Shell("unzip -l " + k5test::Quote(zip), &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(listing.find("1_a.mdb"), std::string::npos) << listing;
    EXPECT_NE(listing.find("2_b.mdb"), std::string::npos) << listing;
    EXPECT_NE(listing.find(renamed), std::string::npos) << listing;
    EXPECT_EQ(k5test::ReadAll(bigDocs + renamed), "not a database");
    EXPECT_EQ(k5test::Shell("unzip -tq " + k5test::Quote(zip), &rc).find("No errors"), 0u);
}

TEST_F(BigDocsFixture, UnreadableSizeIsRedAndLeftOutOfTheSums) {
    DocFile("1_a.mdb");
    auto lib = std::make_shared<SizeBlindFilesLib>();
    lib->blind = bigDocs + "1_a.mdb";
    state.mFilesLib = lib;
    CompactBigDocs(ctx, folder);
    const std::string text = log.Pane().Text();
    EXPECT_NE(text.find("Сжатие файла " + bigDocs + "1_a.mdb завершено (размер файла -1 ==>> -1).\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("В папке BigDocs сжато файлов всего: 1 (0 байт ==>> 0 байт).\r\n\r\n"),
              std::string::npos);
    bool redBold = false;
    for (const auto& run : log.Pane().Runs())
        if (run.colour == kColourRed && run.bold) redBold = true;
    EXPECT_TRUE(redBold);
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(BigDocsFixture, MissingProtocolFolderCompactsNothing) {
    DocFile("1_a.mdb");
    const std::string original = k5test::ReadAll(bigDocs + "1_a.mdb");
    QDir(QString::fromStdString(state.mProtocolFolder)).removeRecursively();
    CompactBigDocs(ctx, folder);
    EXPECT_EQ(
        log.Pane().Text(),
        std::string(kStamp) + "Архивирование файлов БД из папки BigDocs в zip-архив завершено с ошибкой: " +
            "не найдена папка " + state.mProtocolFolder + "\r\n(" + GetApiErrorText(ENOENT) + ")\r\n\r\n" +
            kStamp +
            "Без успешного создания резервной копии сжетие файлов из папки BigDocs не производится.\r\n");
    EXPECT_EQ(k5test::ReadAll(bigDocs + "1_a.mdb"), original);
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(BigDocsFixture, EmptyFolderMakesNoArchiveAndCompactsNothing) {
    CompactBigDocs(ctx, folder);
    const std::string text = log.Pane().Text();
    EXPECT_NE(text.find("завершено с ошибкой:\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("сжетие файлов из папки BigDocs не производится."), std::string::npos);
}
