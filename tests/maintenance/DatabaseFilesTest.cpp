#include "maintenance/DatabaseFiles.h"
#include "CopyFixture.h"

#include <filesystem>

using namespace k5;
using namespace k5::copytest;

namespace {

using DatabaseFilesTest = CopyFixture;

TEST_F(DatabaseFilesTest, CreateMdbReportsSuccessAndFailure) {
    const std::string good = Path("new.mdb"), bad = Path("no-such-folder/new.mdb");
    EXPECT_TRUE(CreateMdb(ctx, good, "Новый (пустой) файл БД"));
    EXPECT_EQ(Pane(), std::string(kStamp) + "Новый (пустой) файл БД \"" + good + "\" создан успешно.\r\n");
    EXPECT_TRUE(ctx.engine.OpenDatabase(good, true, false)->TableNames().empty());

    std::string reason;
    try {
        ctx.engine.CreateDatabase(bad, db::dbLangCyrillic, db::dbVersion40);
    } catch (const K5Error& e) {
        reason = e.Description();
    }
    ASSERT_FALSE(reason.empty());
    log.Pane().Clear();
    EXPECT_FALSE(CreateMdb(ctx, bad, "Файл"));
    EXPECT_EQ(Pane(), std::string(kStamp) + "Файл \"" + bad +
                          "\" создать не удалось по следующей причине:\r\n" + reason + "\r\n");
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(DatabaseFilesTest, OpenMdbOfAFileHeldByAnotherProcess) {
    const std::string file = Path("Korund5.mdb");
    Create("Korund5.mdb").reset();
    HeldByOtherProcess holder(file);
    ASSERT_TRUE(holder.Held());

    EXPECT_EQ(OpenMdb(ctx, file, "Файл базы данных", true, true), nullptr);
    EXPECT_EQ(Pane(),
              std::string(kStamp) + "Файл базы данных \"" + file +
                  "\" не удалось открыть в монопольном режиме, поскольку он уже открыт и используется еще "
                  "какой-то программой. Для дальнейшей работы программы этот файл необходимо открыть в "
                  "монопольном режиме.\r\n");
    EXPECT_EQ(state.mAdviceText,
              "\r\nЗакройте программу Корунд-5W или другие программы ПК \"Корунд-5\" и начните "
              "профилактику БД заново, нажав на кнопку \"Выполнить\".");
}

TEST_F(DatabaseFilesTest, OpenMdbWithoutExclusiveNeverGivesTheInUseLine) {
    const std::string missing = Path("missing.mdb");
    std::string reason;
    try {
        ctx.engine.OpenDatabase(missing, false, true);
    } catch (const K5Error& e) {
        reason = e.Description();
    }
    EXPECT_EQ(OpenMdb(ctx, missing, "Файл", false, true), nullptr);
    EXPECT_EQ(Pane(), std::string(kStamp) + "Файл \"" + missing +
                          "\" не удалось открыть по следующей причине:\r\n" + reason + "\r\n");
    EXPECT_TRUE(state.mAdviceText.empty());

    Create("ok.mdb").reset();
    log.Pane().Clear();
    auto opened = OpenMdb(ctx, Path("ok.mdb"), "Файл", true, false);
    EXPECT_NE(opened, nullptr);
    EXPECT_EQ(Pane(), std::string(kStamp) + "Файл \"" + Path("ok.mdb") + "\" открыт успешно.\r\n");
}

TEST_F(DatabaseFilesTest, OpenMdbFileWarnsAboutAMissingFileThenRaises) {
    const std::string missing = Path("missing.mdb");
    try {
        OpenMdbFile(ctx, missing, true, true);
        FAIL() << "a missing file must be raised";
    } catch (const K5Error& e) {
        EXPECT_NE(e.Description().find("ProphylaxisFrm.OpenMdbFile"), std::string::npos) << e.Description();
    }
    ASSERT_EQ(ui.calls.size(), 1u);
    EXPECT_EQ(ui.calls[0].kind, "Message");
    EXPECT_EQ(ui.calls[0].caption, "Ошибка");
    EXPECT_EQ(ui.calls[0].text, "Файл \"" + missing + "\" не найден.");
    EXPECT_TRUE(Pane().empty());
}

TEST_F(DatabaseFilesTest, CompactMdbSwapsInPlaceAndLeavesNoWorkFiles) {
    const std::string file = Path("BigDoc_1.mdb");
    {
        auto d = Create("BigDoc_1.mdb");
        AddTable(*d, "T", {{"Id"}, {"Blob", db::dbLongBinary}});
        for (int32_t i = 0; i < 20; ++i)
            AddRow(*d, "T", {i, BigBlob()});
        d->Execute("DELETE FROM T WHERE Id >= 2");
    }
    std::ofstream(file + ".pack") << "stale";
    const auto before = std::filesystem::file_size(file);
    const auto yieldsBefore = ui.yields;
    EXPECT_TRUE(CompactMdb(ctx, file));
    EXPECT_FALSE(std::filesystem::exists(file + ".pack"));
    EXPECT_FALSE(std::filesystem::exists(file + ".old"));
    EXPECT_LT(std::filesystem::file_size(file), before);
    EXPECT_GT(ui.yields - yieldsBefore, 5); // the pause keeps the window alive
    EXPECT_EQ(Column(*ctx.engine.OpenDatabase(file, true, true), "T", "Id"), Longs({0, 1}));
    EXPECT_TRUE(Pane().empty());
}

TEST_F(DatabaseFilesTest, CompactMdbOfAMissingFileRaises) {
    EXPECT_THROW(CompactMdb(ctx, Path("none.mdb")), K5Error);
}

TEST_F(DatabaseFilesTest, GetDataBaseVersionCases) {
    auto d = Create("v.mdb");
    EXPECT_EQ(GetDataBaseVersion(ctx, *d), ""); // no table
    AddTable(*d, "DBVersion", {{"MajorVersion"}, {"MinorVersion"}, {"BuildNumber"}});
    EXPECT_THROW(GetDataBaseVersion(ctx, *d), K5Error); // no first row
    AddRow(*d, "DBVersion", {int32_t{5}, int32_t{12}, Null{}});
    EXPECT_EQ(GetDataBaseVersion(ctx, *d), ""); // a null part
    d->Execute("UPDATE DBVersion SET BuildNumber = 345");
    AddRow(*d, "DBVersion", {int32_t{9}, int32_t{9}, int32_t{9}});
    EXPECT_EQ(GetDataBaseVersion(ctx, *d), "5.12.345"); // the first row only

    auto noBuild = Create("w.mdb");
    AddTable(*noBuild, "DBVersion", {{"MajorVersion"}, {"MinorVersion"}});
    AddRow(*noBuild, "DBVersion", {int32_t{1}, int32_t{2}});
    EXPECT_EQ(GetDataBaseVersion(ctx, *noBuild), ""); // a missing column
    EXPECT_TRUE(Pane().empty());
}

} // namespace
