// Indexes built after the rows come with planner statistics: the clean-up searches by equality.
#include "EngineTestUtil.h"

// The very list the maintenance sends (one self-contained function; this program does not link it).
#include "maintenance/OrphanStatements.cpp"

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

TEST(PlannerStatistics, CleanUpOfNaturalPersonSearchesPersonByEquality) {
    constexpr int32_t kPersons = 3000;
    ScratchDir dir;
    const std::string file = dir.File("stats.mdb");
    {
        auto db = NewDb(file);
        TableDef natural = db->CreateTableDef("NaturalPerson");
        natural.Fields = {natural.CreateField("Id", dbLong)};
        db->AppendTableDef(natural);
        TableDef person = db->CreateTableDef("Person");
        person.Fields = {person.CreateField("Id", dbLong), person.CreateField("Type", dbByte),
                         person.CreateField("PersonRealId", dbLong)};
        person.Indexes = {Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true},
                          Index{.Name = "Person_Real", .Fields = {{"Type"}, {"PersonRealId"}}}};
        db->AppendTableDef(person);
        // NaturalPerson rows 1..kPersons; Person rows point at all of them but every 100th.
        auto p = db->OpenRecordset("Person", dbOpenTable);
        for (int32_t id = 1; id <= kPersons; ++id) {
            if (id % 100 == 0) continue;
            p->AddNew();
            p->SetValue(0, id);
            p->SetValue(1, uint8_t{1});
            p->SetValue(2, id);
            p->Update();
        }
        // Person_Real waits for the rows: it is built before this statement runs.
        db->Execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3000) "
                    "INSERT INTO NaturalPerson SELECT x FROM c");
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
    EXPECT_EQ(db->OpenRecordset("NaturalPerson", dbOpenTable)->RecordCount(), kPersons - kPersons / 100);
}
