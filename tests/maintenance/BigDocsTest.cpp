#include "maintenance/BigDocs.h"
#include "Fixtures.h"

#include "support/FileUtils.h"
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>

using namespace k5;
using namespace k5::mtest;

namespace {

// A file library whose size probe fails for one chosen file.
class SizeBlindFilesLib : public FilesLib {
public:
    std::string blind;
    double FileSize(const std::string& fileName) override {
        return fileName == blind ? -1 : FilesLib::FileSize(fileName);
    }
};

struct BigDocsFixture : ContextFixture {
    std::string folder = Path(""), newDb = folder + "Korund5_Prophylaxis.mdb", bigDocs = folder + "BigDocs/";

    BigDocsFixture() {
        gBigDocsPause = [](MaintenanceContext&) {};
        state.mProtocolFolder = folder + "Профилактика_БД/";
        state.mBackupSuffix = "_резервная_копия_2021г03м15д09ч05м07с";
        state.mFilesLib = CreateFilesLib();
        QDir().mkpath(QString::fromStdString(state.mProtocolFolder));
        QDir().mkpath(QString::fromStdString(bigDocs));
        auto database = Create("Korund5_Prophylaxis.mdb");
        AddTable(*database, "DOC_REGISTRY", {{"DOCUMENT_ID"}, {"TITLE", db::dbText, 100}}, {"DOCUMENT_ID"});
        AddRows(*database, "DOC_REGISTRY",
                {{int32_t(1), std::string("Акт")}, {int32_t(2), std::string("Счёт")}});
    }
    ~BigDocsFixture() override { gBigDocsPause = nullptr; }

    // A per-document database with some rows and free pages (so compaction shrinks it).
    void DocFile(const std::string& name, int rows = 50) {
        auto database = db::DBEngine::Instance().CreateDatabase(bigDocs + name, db::dbLangCyrillic);
        AddTable(*database, "CELLS", {{"ID"}, {"TXT", db::dbMemo}});
        std::vector<std::vector<Value>> data;
        for (int32_t i = 0; i < rows; ++i)
            data.push_back({i, std::string(2000, 'x')});
        AddRows(*database, "CELLS", data);
        database->Execute("DELETE FROM CELLS WHERE ID > 5");
        database->Close();
    }
};

} // namespace

TEST_F(BigDocsFixture, OrphanFilesAreRenamedAndListed) {
    DocFile("1_a.mdb");
    DocFile("2_b.mdb");
    DocFile("7_x.mdb");
    DocFile("9_y.MDB");
    CheckBigFolder(ctx, folder, newDb);

    EXPECT_TRUE(Pane().starts_with("Поиск и переименование лишних файлов в подкаталоге BigDocs:\r\n"))
        << Pane();
    EXPECT_TRUE(Shows("\r\n" + bigDocs + "7_x.mdb-лишний-файл-") &&
                Shows("\r\n" + bigDocs + "9_y.MDB-лишний-файл-"));
    EXPECT_TRUE(Pane().ends_with("\r\nПереименовано файлов: 2\r\n\r\n")) << Pane();
    EXPECT_FALSE(Has(kStamp)) << "no line of the check carries a time stamp";
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(Exists(bigDocs + "1_a.mdb") && Exists(bigDocs + "2_b.mdb"));
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
        Pane(),
        "Поиск и переименование лишних файлов в подкаталоге BigDocs:\r\nПереименовано файлов: 0\r\n\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
}

TEST_F(BigDocsFixture, FileNamesAreNeverReadAsSql) {
    for (const char* hostile : {"1 OR 1=1_x.mdb", "5';DROP TABLE Doc_Registry;--_x.mdb"}) {
        SCOPED_TRACE(hostile);
        QDir(QString::fromStdString(bigDocs)).removeRecursively();
        QDir().mkpath(QString::fromStdString(bigDocs));
        DocFile(hostile, 1);
        // A name that does not start with a document number ends the check.
        EXPECT_THAT(ErrorOf([&] { CheckBigFolder(ctx, folder, newDb); }),
                    AllOf(StartsWith("[K5VedovodeduzOR::ProphylaxisFrm.CheckBigFolder]"),
                          HasSubstr("не начинается с номера документа")));
        EXPECT_TRUE(Exists(bigDocs + hostile)) << "nothing renamed";
        EXPECT_EQ(Count(*Open(newDb), "DOC_REGISTRY"), 2);
    }
    EXPECT_EQ(DocumentIdOf("12345_1"), 12345);
    EXPECT_EQ(DocumentIdOf("-1_x"), std::nullopt);
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
    EXPECT_TRUE(Shows(std::string(kStamp) +
                      "Архивирование файлов БД из папки BigDocs в zip-архив завершено успешно.\r\n" + kStamp +
                      "Оригиналы файлов из папки BigDocs (до профилактики) запакованы в zip-архив: \r\n   " +
                      zip + ".\r\nСжатие файлов в папке BigDocs:\r\n"));
    EXPECT_TRUE(Shows(kStamp + std::string("Сжатие файла ") + bigDocs + "1_a.mdb завершено успешно ("));
    EXPECT_TRUE(Shows("В папке BigDocs сжато файлов всего: 2 ("));
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_LT(sizeOf("1_a.mdb"), before) << "compaction gave the free pages back";

    int rc = -1;
    const std::string stored = bigDocs.substr(1); // the path without its leading "/"
    EXPECT_EQ(Shell("unzip -Z1 " + Quote(zip) + " | sort", &rc),
              stored + "1_a.mdb\n" + stored + "2_b.mdb\n" + stored + renamed + "\n");
    EXPECT_EQ(ReadAll(bigDocs + renamed), "not a database");
    EXPECT_TRUE(Shell("unzip -tq " + Quote(zip), &rc).starts_with("No errors"));
}

TEST_F(BigDocsFixture, UnreadableSizeIsRedAndLeftOutOfTheSums) {
    DocFile("1_a.mdb");
    auto lib = std::make_shared<SizeBlindFilesLib>();
    lib->blind = bigDocs + "1_a.mdb";
    state.mFilesLib = lib;
    CompactBigDocs(ctx, folder);
    EXPECT_TRUE(Shows("Сжатие файла " + bigDocs + "1_a.mdb завершено (размер файла -1 ==>> -1).\r\n"));
    EXPECT_TRUE(Shows("В папке BigDocs сжато файлов всего: 1 (0 байт ==>> 0 байт).\r\n\r\n"));
    const auto* red = RunWith("размер файла -1");
    ASSERT_NE(red, nullptr);
    EXPECT_EQ(red->colour, kColourRed);
    EXPECT_TRUE(red->bold);
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(BigDocsFixture, MissingProtocolFolderCompactsNothing) {
    DocFile("1_a.mdb");
    const std::string original = ReadAll(bigDocs + "1_a.mdb");
    QDir(QString::fromStdString(state.mProtocolFolder)).removeRecursively();
    CompactBigDocs(ctx, folder);
    EXPECT_EQ(
        Pane(),
        std::string(kStamp) + "Архивирование файлов БД из папки BigDocs в zip-архив завершено с ошибкой: " +
            "не найдена папка " + state.mProtocolFolder + "\r\n(" + GetApiErrorText(ENOENT) + ")\r\n\r\n" +
            kStamp +
            "Без успешного создания резервной копии сжетие файлов из папки BigDocs не производится.\r\n");
    EXPECT_EQ(ReadAll(bigDocs + "1_a.mdb"), original);
    EXPECT_FALSE(state.mProphylaxisOk);
}
