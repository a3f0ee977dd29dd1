// Indexes built after the rows come with planner statistics: the clean-up's correlated
// counts search by equality instead of reading a whole index range per outer row.
#include "EngineTestUtil.h"

// The very list the maintenance sends, compiled in here: this program does not link the
// maintenance library, and the statements are one self-contained function.
#include "maintenance/OrphanStatements.cpp"

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

namespace {

constexpr int32_t kPersons = 3000;

// NaturalPerson rows 1..kPersons; Person rows point at all of them but every 100th.
void MakeTables(Database& db) {
    TableDef natural = db.CreateTableDef("NaturalPerson");
    natural.Fields = {natural.CreateField("Id", dbLong)};
    natural.Indexes = {Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true}};
    db.AppendTableDef(natural);
    TableDef person = db.CreateTableDef("Person");
    person.Fields = {person.CreateField("Id", dbLong), person.CreateField("Type", dbByte),
                     person.CreateField("PersonRealId", dbLong)};
    person.Indexes = {Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true},
                      Index{.Name = "Person_Real", .Fields = {{"Type"}, {"PersonRealId"}}}};
    db.AppendTableDef(person);

    auto n = db.OpenRecordset("NaturalPerson", dbOpenTable);
    auto p = db.OpenRecordset("Person", dbOpenTable);
    for (int32_t id = 1; id <= kPersons; ++id) {
        n->AddNew();
        n->SetValue(0, id);
        n->Update();
        if (id % 100 == 0) continue;
        p->AddNew();
        p->SetValue(0, id);
        p->SetValue(1, uint8_t{1});
        p->SetValue(2, id);
        p->Update();
    }
    n->Close();
    p->Close();
}

} // namespace

TEST(PlannerStatistics, CleanUpOfNaturalPersonSearchesPersonByEquality) {
    ScratchDir dir;
    const std::string file = dir.File("stats.mdb");
    {
        auto db = NewDb(file);
        MakeTables(*db);
        db->Close(); // builds Person_Real after the rows
    }
    const std::string sql = OrphanCleanupStatements().at(13); // statement 14
    ASSERT_TRUE(sql.starts_with("DELETE FROM NaturalPerson ")) << sql;
    auto db = OpenDb(file);
    std::string plan;
    for (auto rs = db->OpenRecordset("EXPLAIN QUERY PLAN " + sql); !rs->IsEOF(); rs->MoveNext())
        plan += std::get<std::string>(rs->GetValue("detail")) + "\n";
    EXPECT_NE(plan.find("PersonRealId=?"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("PersonRealId>?"), std::string::npos) << plan;

    // Same result as ever: the persons nobody points at go, the others stay.
    db->Execute(sql);
    EXPECT_EQ(db->RecordsAffected(), kPersons / 100);
    auto rest = db->OpenRecordset("NaturalPerson", dbOpenTable);
    EXPECT_EQ(rest->RecordCount(), kPersons - kPersons / 100);
}
