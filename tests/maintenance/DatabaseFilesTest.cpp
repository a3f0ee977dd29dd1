#include "maintenance/DatabaseFiles.h"
#include "Fixtures.h"

#include <filesystem>

using namespace k5;
using namespace k5::mtest;

namespace {

using DatabaseFilesTest = ContextFixture;

// Failures carry the engine's own reason; without the exclusive flag never the in-use line.
TEST_F(DatabaseFilesTest, CreateAndOpenReportSuccessAndFailure) {
    const std::string good = Path("new.mdb"), missing = Path("missing.mdb");
    const std::string reason = ErrorOf([&] { ctx.engine.OpenDatabase(missing, false, true); });
    EXPECT_TRUE(CreateMdb(ctx, good, "Новый (пустой) файл БД"));
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_EQ(OpenMdb(ctx, missing, "Файл", false, true), nullptr);
    EXPECT_EQ(Pane(), std::string(kStamp) + "Новый (пустой) файл БД \"" + good + "\" создан успешно.\r\n" +
                          kStamp + "Файл \"" + missing + "\" не удалось открыть по следующей причине:\r\n" +
                          reason + "\r\n");
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(state.mAdviceText.empty());
}

// The compacted copy replaces the file in one rename: no ".pack" or ".old" is left.
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
    EXPECT_THROW(CompactMdb(ctx, Path("none.mdb")), K5Error);
}

} // namespace
