#include "maintenance/DatabaseFiles.h"
#include "Fixtures.h"

#include <filesystem>

namespace k5::mtest {

using DatabaseFilesTest = ContextFixture;

// The compacted copy replaces the file in one rename: no ".pack" or ".old" is left.
TEST_F(DatabaseFilesTest, CompactMdbSwapsInPlaceAndLeavesNoWorkFiles) {
    const std::string file = Path("BigDoc_1.mdb");
    {
        auto d = Create("BigDoc_1.mdb");
        AddTable(*d, "T", {{"Id"}, {"Blob", db::dbLongBinary}});
        for (int32_t i = 0; i < 20; ++i)
            AddRows(*d, "T", {{i, Bytes(200000, 0x5A)}}); // in overflow pages
        d->Execute("DELETE FROM T WHERE Id >= 2");
    }
    std::ofstream(file + ".pack") << "stale";
    const auto before = std::filesystem::file_size(file);
    EXPECT_TRUE(CompactMdb(ctx, file));
    EXPECT_FALSE(Exists(file + ".pack") || Exists(file + ".old"));
    EXPECT_LT(std::filesystem::file_size(file), before);
    EXPECT_GT(ui.yields, 5); // the pause keeps the window alive
    EXPECT_EQ(Column(*Open(file), "T", "Id"), Longs({0, 1}));
}

// An empty "DBVersion" has no first row to move to: an error, not an empty version.
TEST_F(DatabaseFilesTest, EmptyVersionTableRaises) {
    auto d = Create("v.mdb");
    AddTable(*d, "DBVersion", {{"MajorVersion"}, {"MinorVersion"}, {"BuildNumber"}});
    EXPECT_THROW(GetDataBaseVersion(ctx, *d), K5Error);
}

} // namespace k5::mtest
