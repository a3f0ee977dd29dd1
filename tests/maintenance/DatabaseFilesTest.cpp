#include "maintenance/DatabaseFiles.h"
#include "Fixtures.h"

#include <filesystem>
#include <stdexcept>

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

// An empty recordset whose MoveFirst does not complain, as another engine's might.
struct SilentEmptyRecordset : db::Recordset {
    int64_t RecordCount() override { return 0; }
    bool IsEOF() override { return true; }
    void MoveFirst() override {}
    void MoveNext() override {}
    int FieldCount() override { return 0; }
    const db::Field& FieldInfo(int) override { throw std::out_of_range("no field"); }
    int FieldIndex(const std::string&) override { return -1; }
    Value GetValue(int) override { return Null{}; }
    void SetValue(int, const Value&) override {}
    void AddNew() override {}
    void Update() override {}
    void CancelUpdate() override {}
    int EditMode() override { return 0; }
    void Close() override {}
};

// An empty "DBVersion" has no first row to move to: an error, not an empty version, with the
// engine's own number and text also where the engine's move does not raise it.
TEST_F(DatabaseFilesTest, EmptyVersionTableRaises) {
    auto d = Create("v.mdb");
    AddTable(*d, "DBVersion", {{"MajorVersion"}, {"MinorVersion"}, {"BuildNumber"}});
    const K5Error engine = [&] {
        try {
            GetDataBaseVersion(ctx, *d);
        } catch (const K5Error& e) {
            return e;
        }
        return K5Error(0, "", "no error");
    }();
    EXPECT_EQ(engine.Number(), 3021);
    SilentEmptyRecordset empty;
    try {
        MoveToFirstRow(empty);
        ADD_FAILURE() << "no error";
    } catch (const K5Error& e) {
        EXPECT_EQ(e.Number(), 3021);
        EXPECT_TRUE(engine.Description().ends_with("\r\n" + e.Description())) << engine.Description();
    }
}

} // namespace k5::mtest
