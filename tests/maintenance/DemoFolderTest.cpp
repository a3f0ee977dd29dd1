// The demo database folder generator: arguments, determinism, the planted faults.
#include "dbengine/DaoEngine.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>

#ifdef K5_DEMO_TOOL

namespace {

using namespace k5::db;
namespace fs = std::filesystem;

struct RunResult {
    int Exit = -1;
    std::string Out;
    std::string Err;
};

RunResult RunDemo(const QStringList& args) {
    QProcess p;
    p.start(QString::fromUtf8(K5_DEMO_TOOL), args);
    p.waitForFinished(60000);
    RunResult r;
    r.Exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.Out = p.readAllStandardOutput().toStdString();
    r.Err = p.readAllStandardError().toStdString();
    return r;
}

std::string Show(const k5::Value& v) {
    std::ostringstream s;
    std::visit(
        [&s](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, k5::Null>)
                s << "null";
            else if constexpr (std::is_same_v<T, k5::Currency>)
                s << "cur:" << x.scaled;
            else if constexpr (std::is_same_v<T, k5::Date>)
                s << "date:" << x.days;
            else if constexpr (std::is_same_v<T, k5::Bytes>)
                s << "bytes:" << x.size() << ":" << std::hash<std::string>{}(std::string(x.begin(), x.end()));
            else if constexpr (std::is_same_v<T, k5::Guid>)
                s << "guid";
            else if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, bool>)
                s << static_cast<int>(x);
            else
                s << x;
        },
        v);
    return s.str();
}

// Every table's rows, field by field; an unreadable value shows as such.
std::string Dump(const std::string& path) {
    auto db = DBEngine::Instance().OpenDatabase(path, false, true);
    std::ostringstream out;
    for (const auto& table : db->TableNames()) {
        out << "[" << table << "]\n";
        auto rs = db->OpenRecordset(table, dbOpenTable);
        for (; !rs->IsEOF(); rs->MoveNext()) {
            for (int i = 0; i < rs->FieldCount(); ++i) {
                try {
                    out << Show(rs->GetValue(i)) << "|";
                } catch (const EngineError&) {
                    out << "<unreadable>|";
                }
            }
            out << "\n";
        }
    }
    db->Close();
    return out.str();
}

int64_t Count(Database& db, const std::string& sql) {
    auto rs = db.OpenRecordset(sql);
    const k5::Value v = rs->GetValue(0);
    if (const auto* i = std::get_if<int32_t>(&v)) return *i;
    if (const auto* d = std::get_if<double>(&v)) return static_cast<int64_t>(*d);
    return std::get<int64_t>(v);
}

std::string Version(Database& db) {
    auto rs = db.OpenRecordset("DBVersion", dbOpenTable);
    return Show(rs->GetValue("MajorVersion")) + "." + Show(rs->GetValue("MinorVersion")) + "." +
           Show(rs->GetValue("BuildNumber"));
}

class DemoFolder : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sDir = new QTemporaryDir();
        for (const char* name : {"a", "b", "c"}) {
            const QString seed = std::string(name) == "c" ? "8" : "7";
            const RunResult r = RunDemo({sDir->filePath(name), "--scale", "tiny", "--seed", seed});
            ASSERT_EQ(r.Exit, 0) << r.Err;
            sOut[name] = r.Out;
        }
    }
    static void TearDownTestSuite() {
        delete sDir;
        sDir = nullptr;
    }
    static std::string Path(const char* folder, const std::string& file = {}) {
        return (fs::path(sDir->filePath(folder).toStdString()) / file).string();
    }

    static QTemporaryDir* sDir;
    static std::map<std::string, std::string> sOut;
};
QTemporaryDir* DemoFolder::sDir = nullptr;
std::map<std::string, std::string> DemoFolder::sOut;

TEST_F(DemoFolder, SameSeedGivesSameContentsOtherSeedDiffers) {
    for (const char* file : {"Korund5.mdb", "Korund5_LastVer.mdb"})
        EXPECT_EQ(Dump(Path("a", file)), Dump(Path("b", file))) << file;
    EXPECT_NE(Dump(Path("a", "Korund5.mdb")), Dump(Path("c", "Korund5.mdb")));
    std::set<std::string> a, b;
    for (const auto& e : fs::directory_iterator(Path("a", "BigDocs")))
        a.insert(e.path().filename().string());
    for (const auto& e : fs::directory_iterator(Path("b", "BigDocs")))
        b.insert(e.path().filename().string());
    EXPECT_EQ(a, b);
}

TEST_F(DemoFolder, DamagedRowFailsItsNeighboursRead) {
    std::smatch m;
    const std::string& out = sOut["a"];
    ASSERT_TRUE(
        std::regex_search(out, m, std::regex(R"(damaged: (\w+) row (\d+) \(Id (\d+)\), field (\w+))")))
        << out;
    const std::string table = m[1], field = m[4];
    const int64_t position = std::stoll(m[2]);
    ASSERT_GT(position, 1);

    auto db = DBEngine::Instance().OpenDatabase(Path("a", "Korund5.mdb"), true, true);
    EXPECT_FALSE(db->IntegrityCheck().empty());
    auto rs = db->OpenRecordset(table, dbOpenTable);
    const int64_t total = rs->RecordCount();
    ASSERT_GT(total, position);
    const int f = rs->FieldIndex(field);
    const int idField = rs->FieldIndex("Id");
    int64_t row = 0, unreadable = 0;
    for (; !rs->IsEOF(); rs->MoveNext()) {
        ++row;
        EXPECT_NO_THROW(rs->GetValue(idField)) << "row " << row;
        bool failed = false;
        try {
            rs->GetValue(f);
        } catch (const EngineError&) {
            failed = true;
        }
        unreadable += failed;
        EXPECT_EQ(failed, row == position) << "row " << row;
        if (row == position) EXPECT_EQ(Show(rs->GetValue(idField)), std::string(m[3]));
    }
    EXPECT_EQ(row, total);
    EXPECT_EQ(unreadable, 1);
}

TEST_F(DemoFolder, VersionsAndTableListMatchTheFiles) {
    auto main = DBEngine::Instance().OpenDatabase(Path("a", "Korund5.mdb"), false, true);
    auto ref = DBEngine::Instance().OpenDatabase(Path("a", "Korund5_LastVer.mdb"), false, true);
    EXPECT_EQ(Version(*main), Version(*ref));
    EXPECT_NE(sOut["a"].find("version: " + Version(*ref)), std::string::npos);

    auto list = ref->OpenRecordset("ListTbl", dbOpenTable);
    std::map<std::string, int> types;
    std::vector<std::string> missingFromMain;
    for (; !list->IsEOF(); list->MoveNext()) {
        const std::string name = std::get<std::string>(list->GetValue("TblName"));
        types[name] = std::get<int32_t>(list->GetValue("TblType"));
        EXPECT_NO_THROW(ref->GetTableDef(name)) << name;
        try {
            main->GetTableDef(name);
        } catch (const EngineError&) {
            missingFromMain.push_back(name);
        }
    }
    EXPECT_EQ(missingFromMain, std::vector<std::string>{"PfrPacks"});
    EXPECT_EQ(types.at("PfrErrors"), 1);
    EXPECT_EQ(types.count("Doc_Cell_Values"), 1u);
    EXPECT_GT(std::count_if(types.begin(), types.end(), [](const auto& t) { return t.second == 0; }), 1);
    EXPECT_GT(ref->OpenRecordset("PfrErrors", dbOpenTable)->RecordCount(), 0);
}

// The reference holds the rules that the main file's rows break.
TEST_F(DemoFolder, ReferenceStructureRefusesSomeMainRows) {
    auto main = DBEngine::Instance().OpenDatabase(Path("a", "Korund5.mdb"), false, true);
    auto ref = DBEngine::Instance().OpenDatabase(Path("a", "Korund5_LastVer.mdb"), false, true);
    auto findIndex = [](const TableDef& def, const std::string& name) {
        for (const auto& ix : def.Indexes) {
            if (ix.Name == name) return ix;
        }
        ADD_FAILURE() << "no index " << name;
        return Index{};
    };
    EXPECT_TRUE(findIndex(ref->GetTableDef("NaturalPerson"), "NaturalPerson_Inn").Unique);
    EXPECT_FALSE(findIndex(main->GetTableDef("NaturalPerson"), "NaturalPerson_Inn").Unique);
    EXPECT_GT(Count(*main, "SELECT count(*) - count(DISTINCT Inn) FROM NaturalPerson"), 0);
    EXPECT_GT(Count(*main, "SELECT count(*) FROM AccStream WHERE Name IS NULL"), 0);

    bool descending = false, autoIncrement = false, required = false, defaults = false;
    for (const auto& name : ref->TableNames()) {
        const TableDef def = ref->GetTableDef(name);
        for (const auto& ix : def.Indexes) {
            for (const auto& f : ix.Fields)
                descending |= (f.Attributes & dbDescending) != 0;
        }
        for (const auto& f : def.Fields) {
            autoIncrement |= (f.Attributes & dbAutoIncrField) != 0;
            required |= f.Required;
            defaults |= !k5::IsNull(f.DefaultValue);
        }
    }
    EXPECT_TRUE(descending);
    EXPECT_TRUE(autoIncrement);
    EXPECT_TRUE(required);
    EXPECT_TRUE(defaults);
}

// A few of the clean-up's targets, checked with queries of their own.
TEST_F(DemoFolder, MainFileHoldsOrphans) {
    auto main = DBEngine::Instance().OpenDatabase(Path("a", "Korund5.mdb"), false, true);
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"Doc_Registry", "SELECT count(*) FROM Doc_Registry WHERE Time_ID IS NULL OR Time_ID = 0 "
                         "OR Template_Id IS NULL OR Template_Id = 0"},
        {"Doc_Cell_Values", "SELECT count(*) FROM Doc_Cell_Values WHERE document_id NOT IN "
                            "(SELECT Document_Id FROM Doc_Registry)"},
        {"StoredFiles",
         "SELECT count(*) FROM StoredFiles WHERE Id NOT IN (SELECT StoredFileId FROM DOC_Attachments)"},
        {"AccStream", "SELECT count(*) FROM AccStream WHERE PersonId IS NULL OR PersonId = 0"},
        {"PfrPersons",
         "SELECT count(*) FROM PfrPersons WHERE Person_Id NOT IN (SELECT PersonId FROM AccStream)"},
        {"WarPermissions",
         "SELECT count(*) FROM WarPermissions WHERE WarPower_Id NOT IN (SELECT Id FROM WarPowers)"},
        {"PermBlocks", "SELECT count(*) FROM PermBlocks WHERE BlockType = 5 AND AreaType = 2 AND "
                       "ID NOT IN (SELECT BlockID FROM PermObjectLists)"},
    };
    for (const auto& [table, sql] : cases)
        EXPECT_GT(Count(*main, sql), 0) << table;
    // Healthy rows stay: most documents have a period and a template.
    EXPECT_GT(Count(*main, "SELECT count(*) FROM Doc_Registry WHERE Time_ID > 0 AND Template_Id > 0"),
              Count(*main, "SELECT count(*) FROM Doc_Registry WHERE NOT (Time_ID > 0 AND Template_Id > 0)"));
}

TEST_F(DemoFolder, BigDocsHasOrphansAndOneOtherFile) {
    auto main = DBEngine::Instance().OpenDatabase(Path("a", "Korund5.mdb"), false, true);
    int orphans = 0, present = 0, other = 0;
    for (const auto& e : fs::directory_iterator(Path("a", "BigDocs"))) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() != ".mdb") {
            ++other;
            EXPECT_EQ(name, "readme.txt");
            continue;
        }
        const auto underscore = name.find('_');
        ASSERT_NE(underscore, std::string::npos) << name;
        const std::string id = name.substr(0, underscore);
        const int64_t n = Count(*main, "SELECT count(*) FROM Doc_Registry WHERE Document_Id = " + id);
        (n ? present : orphans)++;
        auto doc = DBEngine::Instance().OpenDatabase(e.path().string(), true, true);
        EXPECT_GT(doc->OpenRecordset("BigDocCells", dbOpenTable)->RecordCount(), 0) << name;
    }
    EXPECT_GE(orphans, 2);
    EXPECT_GT(present, orphans);
    EXPECT_EQ(other, 1);
}

TEST(DemoTool, RefusesBadArguments) {
    QTemporaryDir dir;
    const QString d = dir.filePath("x");
    const std::vector<QStringList> cases = {
        {},
        {d, "--scale", "tiny"},
        {d, "--seed", "1"},
        {d, "--scale", "huge", "--seed", "1"},
        {d, "--scale", "tiny", "--seed", "abc"},
        {d, "--scale", "tiny", "--seed", "-1"},
        {d, "--scale", "tiny", "--seed"},
        {d, "--scale", "tiny", "--seed", "1", "--fast"},
        {d, d, "--scale", "tiny", "--seed", "1"},
    };
    for (const auto& args : cases) {
        const RunResult r = RunDemo(args);
        EXPECT_EQ(r.Exit, 2) << args.join(' ').toStdString();
        EXPECT_NE(r.Err.find("usage: k5demo"), std::string::npos) << r.Err;
        EXPECT_FALSE(fs::exists(d.toStdString())) << args.join(' ').toStdString();
    }
}

TEST(DemoTool, LeavesAForeignDatabaseFolderAlone) {
    QTemporaryDir dir;
    const fs::path main = fs::path(dir.path().toStdString()) / "Korund5.mdb";
    std::ofstream(main) << "not ours";
    const RunResult r = RunDemo({dir.path(), "--scale", "tiny", "--seed", "1"});
    EXPECT_EQ(r.Exit, 1);
    EXPECT_NE(r.Err.find("not made by k5demo"), std::string::npos) << r.Err;
    EXPECT_EQ(fs::file_size(main), 8u);
    // A folder it made itself is made again.
    QTemporaryDir again;
    ASSERT_EQ(RunDemo({again.path(), "--scale", "tiny", "--seed", "1"}).Exit, 0);
    EXPECT_EQ(RunDemo({again.path(), "--scale", "tiny", "--seed", "1"}).Exit, 0);
}

} // namespace

#endif
