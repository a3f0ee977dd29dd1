// The documented way of making a database with the sqlite3 shell gives a database the engine reads.
#include "EngineTestUtil.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

TEST(EngineFormat, DatabaseMadeWithTheShellAsDocumented) {
    const std::string ext = std::string(K5_BINARY_DIR) + "/bench/k5collation";
    if (std::system("sqlite3 -version > /dev/null 2>&1") != 0 || !std::filesystem::exists(ext + ".so"))
        GTEST_SKIP() << "needs the sqlite3 shell and the k5collation extension";
    std::ifstream doc(std::string(K5_SOURCE_DIR) + "/docs/engine-format.md");
    std::stringstream all;
    all << doc.rdbuf();
    const std::string text = all.str();
    const std::string open = "new.mdb <<'SQL'\n";
    const auto b = text.find(open);
    ASSERT_NE(b, std::string::npos);
    const auto e = text.find("\nSQL\n", b);
    ASSERT_NE(e, std::string::npos);
    ScratchDir dir;
    { std::ofstream(dir.File("make.sql")) << text.substr(b + open.size(), e - b - open.size()) << "\n"; }
    const std::string path = dir.File("new.mdb");
    const std::string cmd =
        "sqlite3 -bail -cmd '.load " + ext + "' '" + path + "' < '" + dir.File("make.sql") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    auto db = OpenDb(path, true, false);
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"DBVersion"});
    const TableDef def = db->GetTableDef("DBVersion");
    ASSERT_EQ(def.Fields.size(), 3u);
    EXPECT_EQ(def.Fields[1].DefaultValue, Value(std::string("0")));
    EXPECT_EQ(def.Fields[2].Type, dbText);
    EXPECT_EQ(def.Fields[2].Size, 20);
    EXPECT_TRUE(def.Fields[2].Required);
    ASSERT_EQ(def.Indexes.size(), 2u);
    EXPECT_TRUE(def.Indexes[0].Primary);
    EXPECT_EQ(def.Indexes[1].Fields.at(0).Attributes, dbDescending);
    auto rs = db->OpenRecordset("DBVersion", dbOpenTable);
    EXPECT_EQ(rs->GetValue("MajorVersion"), Value(int32_t(5)));
    EXPECT_EQ(rs->GetValue("BuildNumber"), Value(std::string("345")));
    rs->AddNew();
    rs->SetValue("MajorVersion", int32_t(5));
    rs->SetValue("BuildNumber", std::string("1"));
    EXPECT_EQ(Catch([&] { rs->Update(); }).Number(), 3022);
    rs->CancelUpdate();
    rs->Close();
    EXPECT_EQ(db->IntegrityCheck(), "");
}
