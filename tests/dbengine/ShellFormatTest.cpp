// The documented way of making a database with the sqlite3 shell gives a database the engine reads.
#include "EngineTestUtil.h"

#include "common/TestUtil.h"

#include <cstdlib>
#include <filesystem>

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

TEST(EngineFormat, DatabaseMadeWithTheShellAsDocumented) {
    const std::string ext = std::string(K5_BINARY_DIR) + "/bench/k5collation";
    if (std::system("sqlite3 -version > /dev/null 2>&1") != 0 || !std::filesystem::exists(ext + ".so"))
        GTEST_SKIP() << "needs the sqlite3 shell and the k5collation extension";
    const std::string text = k5test::ReadAll(std::string(K5_SOURCE_DIR) + "/docs/engine-format.md");
    const std::string open = "new.mdb <<'SQL'\n";
    const auto b = text.find(open), e = text.find("\nSQL\n", b);
    ASSERT_TRUE(b != std::string::npos && e != std::string::npos);
    ScratchDir dir;
    { std::ofstream(dir.File("make.sql")) << text.substr(b + open.size(), e - b - open.size()) << "\n"; }
    const std::string path = dir.File("new.mdb"),
                      cmd = "sqlite3 -bail -cmd '.load " + ext + "' '" + path + "'";
    ASSERT_EQ(std::system((cmd + " < '" + dir.File("make.sql") + "'").c_str()), 0);

    auto db = OpenDb(path, true, false);
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"DBVersion"});
    const TableDef def = db->GetTableDef("DBVersion");
    EXPECT_EQ(def.Fields.at(1).DefaultValue, Value(std::string("0")));
    EXPECT_TRUE(def.Fields.at(2).Type == dbText && def.Fields[2].Size == 20 && def.Fields[2].Required);
    ASSERT_EQ(def.Indexes.size(), 2u);
    EXPECT_EQ(def.Indexes[1].Fields.at(0).Attributes, dbDescending);
    auto rs = db->OpenRecordset("DBVersion", dbOpenTable);
    EXPECT_EQ(rs->GetValue("MajorVersion"), Value(int32_t(5)));
    EXPECT_EQ(rs->GetValue("BuildNumber"), Value(std::string("345")));
    rs->AddNew();
    rs->SetValue("MajorVersion", int32_t(5));
    rs->SetValue("BuildNumber", std::string("1"));
    EXPECT_EQ(Catch([&] { rs->Update(); }).Number(), 3022);
    rs->CancelUpdate();
}
