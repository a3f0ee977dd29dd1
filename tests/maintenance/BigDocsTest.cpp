#include "maintenance/BigDocs.h"
#include "Fixtures.h"

#include "support/FileUtils.h"
#include <cerrno>
#include <filesystem>

namespace k5::mtest {

// A file library whose size probe fails for one chosen file.
struct SizeBlindFilesLib : FilesLib {
    using FilesLib::FilesLib;
    std::string blind;
    double FileSize(const std::string& f) override { return f == blind ? -1 : FilesLib::FileSize(f); }
};

struct BigDocsFixture : ContextFixture {
    std::string folder = Path(""), newDb = folder + "Korund5_Prophylaxis.mdb", bigDocs = folder + "BigDocs/";

    BigDocsFixture() {
        env.pause = [this](Wait which, UserInteraction& u) {
            if (which != Wait::BigDocs) env.SystemEnv::Pause(which, u);
        };
        state.mProtocolFolder = folder + "Профилактика_БД/";
        state.mBackupSuffix = "_резервная_копия_2021г03м15д09ч05м07с";
        state.mFilesLib = CreateFilesLib(env);
        QDir().mkpath(QString::fromStdString(state.mProtocolFolder));
        QDir().mkpath(QString::fromStdString(bigDocs));
        auto database = Create("Korund5_Prophylaxis.mdb");
        AddTable(*database, "DOC_REGISTRY", {{"DOCUMENT_ID"}, {"TITLE", db::dbText, 100}}, {"DOCUMENT_ID"});
        AddRows(*database, "DOC_REGISTRY",
                {{int32_t(1), std::string("Акт")}, {int32_t(2), std::string("Счёт")}});
    }

    // A per-document database with some rows and free pages (so compaction shrinks it).
    void DocFile(const std::string& name) {
        auto database = db::test::NewDb(bigDocs + name);
        AddTable(*database, "CELLS", {{"ID"}, {"TXT", db::dbMemo}});
        std::vector<std::vector<Value>> data;
        for (int32_t i = 0; i < 50; ++i)
            data.push_back({i, std::string(2000, 'x')});
        AddRows(*database, "CELLS", data);
        database->Execute("DELETE FROM CELLS WHERE ID > 5");
        database->Close();
    }
};

// None orphaned: a count of 0, the verdict untouched; then two renamed and listed, no time stamps.
TEST_F(BigDocsFixture, OrphanFilesAreRenamedAndListed) {
    DocFile("1_a.mdb");
    DocFile("2_b.mdb");
    const std::string head = "Поиск и переименование лишних файлов в подкаталоге BigDocs:\r\n";
    CheckBigFolder(ctx, folder, newDb);
    EXPECT_EQ(Pane(), head + "Переименовано файлов: 0\r\n\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
    log.ClearPane();
    DocFile("7_x.mdb");
    DocFile("9_y.MDB");
    CheckBigFolder(ctx, folder, newDb);
    EXPECT_THAT(Pane(),
                ::testing::ContainsRegex("^" + head + bigDocs + "7_x.mdb-лишний-файл-[0-9]{4}г[0-9]{2}м"));
    EXPECT_TRUE(Shows("\r\n" + bigDocs + "9_y.MDB-лишний-файл-"));
    EXPECT_TRUE(Pane().ends_with("\r\nПереименовано файлов: 2\r\n\r\n")) << Pane();
    EXPECT_FALSE(Has(kStamp));
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(Exists(bigDocs + "1_a.mdb") && Exists(bigDocs + "2_b.mdb") && !Exists(bigDocs + "7_x.mdb"));
}

// A name not starting with a document number ends the check; nothing renamed, nothing run.
TEST_F(BigDocsFixture, FileNamesAreNeverReadAsSql) {
    for (const char* hostile : {"1 OR 1=1_x.mdb", "5';DROP TABLE Doc_Registry;--_x.mdb"}) {
        SCOPED_TRACE(hostile);
        DocFile(hostile);
        EXPECT_THAT(ErrorOf([&] { CheckBigFolder(ctx, folder, newDb); }),
                    AllOf(::testing::StartsWith("[K5VedovodeduzOR::ProphylaxisFrm.CheckBigFolder]"),
                          HasSubstr("не начинается с номера документа")));
        EXPECT_TRUE(Exists(bigDocs + hostile));
        EXPECT_EQ(Count(*Open(newDb), "DOC_REGISTRY"), 2);
        QFile::remove(QString::fromStdString(bigDocs + hostile));
    }
    EXPECT_EQ(DocumentIdOf("12345_1"), 12345);
    EXPECT_EQ(DocumentIdOf("-1_x"), std::nullopt);
    EXPECT_EQ(DocumentIdOf("1234567890123456789_x"), std::nullopt) << "beyond the engine's whole numbers";
}

// The archive first (a renamed orphan in it but neither compacted nor counted), then each
// file compacted with its sizes; a size that cannot be read shows red and is left out.
TEST_F(BigDocsFixture, ArchiveFirstThenCompactWithSizes) {
    DocFile("1_a.mdb");
    DocFile("2_b.mdb");
    const std::string renamed = "5_old.mdb-лишний-файл-2020г01м01д00ч00м00с";
    std::ofstream(bigDocs + renamed) << "not a database";
    const auto before = QFileInfo(QString::fromStdString(bigDocs + "1_a.mdb")).size();
    auto lib = std::make_shared<SizeBlindFilesLib>(env);
    lib->blind = bigDocs + "2_b.mdb";
    state.mFilesLib = lib;
    CompactBigDocs(ctx, folder);

    const std::string zip = state.mProtocolFolder + "Korund5_BigDocs" + state.mBackupSuffix + ".zip";
    EXPECT_TRUE(Shows("Оригиналы файлов из папки BigDocs (до профилактики) запакованы в zip-архив: \r\n   " +
                      zip + ".\r\nСжатие файлов в папке BigDocs:\r\n" + kStamp + "Сжатие файла " + bigDocs +
                      "1_a.mdb завершено успешно ("));
    const auto after = QFileInfo(QString::fromStdString(bigDocs + "1_a.mdb")).size();
    EXPECT_LT(after, before);
    EXPECT_TRUE(Shows("Сжатие файла " + bigDocs + "2_b.mdb завершено (размер файла -1 ==>> -1).\r\n"));
    EXPECT_EQ(RunWith("размер файла -1").colour, kColourRed);
    // Only the first file counts: the sizes are whole kilobytes, as the pages are.
    EXPECT_TRUE(Shows("В папке BigDocs сжато файлов всего: 2 (" + std::to_string(before / 1024) +
                      " КБ ==>> " + std::to_string(after / 1024) + " КБ)."));
    EXPECT_FALSE(state.mProphylaxisOk);
    const std::string stored = bigDocs.substr(1); // the path without its leading "/"
    EXPECT_EQ(Shell("unzip -Z1 " + Quote(zip) + " | sort"),
              stored + "1_a.mdb\n" + stored + "2_b.mdb\n" + stored + renamed + "\n");
    EXPECT_EQ(ReadAll(bigDocs + renamed), "not a database");
    EXPECT_TRUE(Shell("unzip -tq " + Quote(zip)).starts_with("No errors"));
}

// Names a lossy conversion would make equal are two entries; an archive that cannot hold
// every listed file (more than 1024 of them) fails the step before anything is compacted.
TEST_F(BigDocsFixture, ArchiveHoldsEveryFileItIsSaidToHold) {
    DocFile("7_数据.mdb");
    DocFile("7_??.mdb");
    CompactBigDocs(ctx, folder);
    const std::string zip = state.mProtocolFolder + "Korund5_BigDocs" + state.mBackupSuffix + ".zip";
    const std::string stored = bigDocs.substr(1);
    EXPECT_EQ(Shell("LC_ALL=C.UTF-8 unzip -Z1 " + Quote(zip) + " | sort"),
              stored + "7_??.mdb\n" + stored + "7_数据.mdb\n");
    EXPECT_TRUE(Shows("В папке BigDocs сжато файлов всего: 2 ("));

    log.ClearPane();
    for (int i = 0; i < 1024; ++i)
        std::ofstream(bigDocs + std::to_string(100 + i) + "_x.mdb") << i;
    const std::string before = ReadAll(bigDocs + "7_??.mdb");
    CompactBigDocs(ctx, folder);
    EXPECT_TRUE(Shows("zip-архив завершено с ошибкой:\r\nВ zip-архиве нет файла " + bigDocs));
    EXPECT_TRUE(Shows("сжетие файлов из папки BigDocs не производится."));
    EXPECT_FALSE(Has("Сжатие файла"));
    EXPECT_EQ(ReadAll(bigDocs + "7_??.mdb"), before);
}

// Links are never followed, renamed, archived or compacted: each is named in a line and left
// as it is, and so is the file it points at.
TEST_F(BigDocsFixture, LinksAreSkippedWithALine) {
    DocFile("1_a.mdb");
    std::filesystem::create_directories(Path("outside"));
    DocFile("2_b.mdb");
    QFile::rename(QString::fromStdString(bigDocs + "2_b.mdb"),
                  QString::fromStdString(Path("outside/doc.mdb")));
    const std::string outside = ReadAll(Path("outside/doc.mdb"));
    for (const char* link : {"2_b.mdb", "9_orphan.mdb"})
        std::filesystem::create_symlink(Path("outside/doc.mdb"), bigDocs + link);
    const auto skipped = [&](const std::string& link) {
        return std::string(kStamp) + "Файл " + bigDocs + link +
               " является символической ссылкой и пропущен.\r\n";
    };
    CheckBigFolder(ctx, folder, newDb);
    EXPECT_TRUE(Shows(skipped("2_b.mdb") + skipped("9_orphan.mdb")));
    EXPECT_TRUE(Shows("Переименовано файлов: 0\r\n"));
    CompactBigDocs(ctx, folder);
    EXPECT_TRUE(Shows("В папке BigDocs сжато файлов всего: 1 ("));
    const std::string zip = state.mProtocolFolder + "Korund5_BigDocs" + state.mBackupSuffix + ".zip";
    EXPECT_EQ(Shell("unzip -Z1 " + Quote(zip)), bigDocs.substr(1) + "1_a.mdb\n");
    for (const char* link : {"2_b.mdb", "9_orphan.mdb"})
        EXPECT_TRUE(std::filesystem::is_symlink(bigDocs + link)) << link;
    EXPECT_EQ(ReadAll(Path("outside/doc.mdb")), outside);
    EXPECT_TRUE(state.mProphylaxisOk);
}

// A name with a line break is one protocol line, its break shown escaped; a name with
// backslashes and ".." is stored without either, so no extractor climbs out of its folder.
TEST_F(BigDocsFixture, OddNamesForgeNoLineAndEscapeNoArchive) {
    DocFile("7_a\r\n2021.03.15 09:05:07: forged.mdb");
    DocFile("1_..\\..\\..\\evil.mdb");
    CheckBigFolder(ctx, folder, newDb);
    EXPECT_TRUE(Shows("\r\n" + bigDocs + "7_a\\r\\n2021.03.15 09:05:07: forged.mdb-лишний-файл-"));
    CompactBigDocs(ctx, folder);
    EXPECT_TRUE(Shows("Сжатие файла " + bigDocs + "1_..\\..\\..\\evil.mdb завершено успешно"));
    const std::string zip = state.mProtocolFolder + "Korund5_BigDocs" + state.mBackupSuffix + ".zip";
    const std::string entries = Shell("unzip -Z1 " + Quote(zip));
    EXPECT_THAT(entries, HasSubstr(bigDocs.substr(1) + "1_.._.._.._evil.mdb\n"));
    EXPECT_THAT(entries, AllOf(Not(HasSubstr("\\")), Not(HasSubstr("/../"))));
}

// The reason line after the folder is the same as in the repair sequence.
TEST_F(BigDocsFixture, MissingProtocolFolderCompactsNothing) {
    DocFile("1_a.mdb");
    const std::string original = ReadAll(bigDocs + "1_a.mdb");
    QDir(QString::fromStdString(state.mProtocolFolder)).removeRecursively();
    CompactBigDocs(ctx, folder);
    EXPECT_EQ(
        Pane(),
        std::string(kStamp) +
            "Архивирование файлов БД из папки BigDocs в zip-архив завершено с ошибкой: не найдена папка " +
            state.mProtocolFolder + "\r\n(" + GetApiErrorText(ENOENT) + ")\r\n\r\n" + kStamp +
            "Без успешного создания резервной копии сжетие файлов из папки BigDocs не производится.\r\n");
    EXPECT_EQ(ReadAll(bigDocs + "1_a.mdb"), original);
    EXPECT_FALSE(state.mProphylaxisOk);
}

} // namespace k5::mtest
