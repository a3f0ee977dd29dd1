#include "maintenance/DatabaseFiles.h"
#include "Fixtures.h"

#include <filesystem>

using namespace k5;
using namespace k5::mtest;

namespace {

using DatabaseFilesTest = ContextFixture;

TEST_F(DatabaseFilesTest, CreateAndOpenReportSuccessAndFailure) {
    const std::string good = Path("new.mdb"), bad = Path("no-such-folder/new.mdb"),
                      missing = Path("missing.mdb");
    // The engine's own reasons.
    const std::string createReason =
        ErrorOf([&] { ctx.engine.CreateDatabase(bad, db::dbLangCyrillic, db::dbVersion40); });
    const std::string openReason = ErrorOf([&] { ctx.engine.OpenDatabase(missing, false, true); });

    EXPECT_TRUE(CreateMdb(ctx, good, "Новый (пустой) файл БД"));
    EXPECT_TRUE(ctx.engine.OpenDatabase(good, true, false)->TableNames().empty());
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_NE(OpenMdb(ctx, good, "Файл", true, false), nullptr);
    EXPECT_FALSE(CreateMdb(ctx, bad, "Файл"));
    // Without the exclusive flag a failure never gives the in-use line.
    EXPECT_EQ(OpenMdb(ctx, missing, "Файл", false, true), nullptr);
    EXPECT_EQ(Pane(), std::string(kStamp) + "Новый (пустой) файл БД \"" + good + "\" создан успешно.\r\n" +
                          kStamp + "Файл \"" + good + "\" открыт успешно.\r\n" + kStamp + "Файл \"" + bad +
                          "\" создать не удалось по следующей причине:\r\n" + createReason + "\r\n" + kStamp +
                          "Файл \"" + missing + "\" не удалось открыть по следующей причине:\r\n" +
                          openReason + "\r\n");
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(state.mAdviceText.empty());
}

TEST_F(DatabaseFilesTest, OpenMdbFileWarnsAboutAMissingFileThenRaises) {
    const std::string missing = Path("missing.mdb");
    EXPECT_THAT(ErrorOf([&] { OpenMdbFile(ctx, missing, true, true); }),
                HasSubstr("ProphylaxisFrm.OpenMdbFile"));
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
            AddRows(*d, "T", {{i, BigBlob()}});
        d->Execute("DELETE FROM T WHERE Id >= 2");
    }
    std::ofstream(file + ".pack") << "stale";
    const auto before = std::filesystem::file_size(file);
    EXPECT_TRUE(CompactMdb(ctx, file));
    EXPECT_FALSE(Exists(file + ".pack") || Exists(file + ".old"));
    EXPECT_LT(std::filesystem::file_size(file), before);
    EXPECT_GT(ui.yields, 5); // the pause keeps the window alive
    EXPECT_EQ(Column(*Open(file), "T", "Id"), Longs({0, 1}));
    EXPECT_TRUE(Pane().empty());
    EXPECT_THROW(CompactMdb(ctx, Path("none.mdb")), K5Error);
}

TEST_F(DatabaseFilesTest, GetDataBaseVersionCases) {
    auto d = Create("v.mdb");
    EXPECT_EQ(GetDataBaseVersion(ctx, *d), ""); // no table
    AddTable(*d, "DBVersion", {{"MajorVersion"}, {"MinorVersion"}, {"BuildNumber"}});
    EXPECT_THROW(GetDataBaseVersion(ctx, *d), K5Error); // no first row
    AddRows(*d, "DBVersion", {{int32_t{5}, int32_t{12}, Null{}}});
    EXPECT_EQ(GetDataBaseVersion(ctx, *d), ""); // a null part
    d->Execute("UPDATE DBVersion SET BuildNumber = 345");
    AddRows(*d, "DBVersion", {{int32_t{9}, int32_t{9}, int32_t{9}}});
    EXPECT_EQ(GetDataBaseVersion(ctx, *d), "5.12.345"); // the first row only
    auto noBuild = Create("w.mdb");
    AddTable(*noBuild, "DBVersion", {{"MajorVersion"}, {"MinorVersion"}});
    AddRows(*noBuild, "DBVersion", {{int32_t{1}, int32_t{2}}});
    EXPECT_EQ(GetDataBaseVersion(ctx, *noBuild), ""); // a missing column
    EXPECT_TRUE(Pane().empty());
}

} // namespace
