#include "maintenance/DatabaseCopy.h"
#include "Fixtures.h"
#include "support/Common.h"

#include <filesystem>

using namespace k5;
using namespace k5::mtest;

namespace {

struct DatabaseCopyTest : ContextFixture {
    std::string source = Path("Korund5.mdb"), target = Path("Korund5_Prophylaxis.mdb"),
                reference = Path("Korund5_LastVer.mdb");

    // Reference with "ListTbl" (name, type) and the named tables, each (Id primary, Name);
    // the source with the same tables, each holding `rows` rows; the reference's own row 900
    // in `refRowTables`.
    void Build(const std::vector<std::pair<std::string, int32_t>>& list,
               const std::vector<std::string>& tables, int rows,
               const std::vector<std::string>& refRowTables = {}) {
        std::filesystem::remove(source);
        std::filesystem::remove(reference);
        auto ref = Create("Korund5_LastVer.mdb");
        auto src = Create("Korund5.mdb");
        AddTable(*ref, "ListTbl", {{"TblName", db::dbText, 64}, {"TblType"}});
        for (const auto& [name, type] : list)
            AddRows(*ref, "ListTbl", {{name, type}});
        std::vector<std::vector<Value>> data;
        for (int32_t i = 1; i <= rows; ++i)
            data.push_back({i, "источник " + std::to_string(i)});
        for (const std::string& t : tables) {
            AddTable(*ref, t, {{"Id"}, {"Name", db::dbText, 50}}, {"Id"});
            AddTable(*src, t, {{"Id"}, {"Name", db::dbText, 50}}, {"Id"});
            AddRows(*src, t, data);
        }
        for (const std::string& t : refRowTables)
            AddRows(*ref, t, {{int32_t{900}, std::string("эталон")}});
    }
    std::string Copied(const std::string& table, int n) {
        return std::string(kStamp) + "Копирование таблицы " + table + " (записей: " + std::to_string(n) +
               ") завершено успешно (скопировано записей: " + std::to_string(n) + ").\r\n";
    }
    std::string Head() {
        return std::string(kStamp) + "Новый (пустой) файл БД \"" + target + "\" создан успешно.\r\n" +
               "\r\nКопирование таблиц с данными из исходного файла БД во вновь созданный:\r\n";
    }
};

TEST_F(DatabaseCopyTest, ListWithAMissingTableAndATwiceListedNameReplacingAStaleTarget) {
    Build({{"A", 1}, {"Missing", 1}, {"B", 0}, {"A", 1}}, {"A", "B"}, 3, {"B"});
    AddTable(*Create("Korund5_Prophylaxis.mdb"), "Stale", {{"Id"}});
    EXPECT_FALSE(CopyDataBase(ctx, source, target, reference));
    EXPECT_EQ(Pane(), Head() + Copied("A", 3) + kStamp + "Таблица Missing не найдена в эталонной БД.\r\n" +
                          Copied("B", 1) + Copied("A", 3));
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(RunWith("Таблица Missing не найдена") && RunWith("Таблица Missing не найдена")->bold);
    auto out = Open(target);
    EXPECT_EQ(out->TableNames(), (std::vector<std::string>{"B", "A"}));
    // Rebuilt twice, the table holds its rows once; B (type 0) took the reference's rows.
    EXPECT_EQ(Column(*out, "A", "Id"), Longs({1, 2, 3}));
    EXPECT_EQ(Column(*out, "B", "Name"), std::vector<Value>{std::string("эталон")});
}

// The option is read per table, when the step reaches it, and the name in any letter case.
TEST_F(DatabaseCopyTest, PfrErrorsFollowsTheOptionWhenTheStepReachesIt) {
    for (bool clear : {false, true}) {
        Build({{"PfrErrors", 1}, {"Other", 1}}, {"PfrErrors", "Other"}, 4, {"PfrErrors"});
        options.clearPfrErrors = clear;
        EXPECT_TRUE(CopyDataBase(ctx, source, target, reference));
        EXPECT_EQ(Count(*Open(target), "PfrErrors"), clear ? 1 : 4) << clear;
        EXPECT_EQ(Count(*Open(target), "Other"), 4);
    }
    log.Pane().Clear();
    options.clearPfrErrors = false;
    Build({{"PfrErrors", 1}, {"Other", 1}, {"PFRERRORS", 1}}, {"PfrErrors", "Other"}, 2, {"PfrErrors"});
    ui.onYield = [&] {
        options.clearPfrErrors = options.clearPfrErrors || Has("Other (записей: 2) завершено");
    };
    EXPECT_TRUE(CopyDataBase(ctx, source, target, reference));
    EXPECT_EQ(Pane(), Head() + Copied("PfrErrors", 2) + Copied("Other", 2) + Copied("PFRERRORS", 1));
    EXPECT_EQ(Column(*Open(target), "PfrErrors", "Id"), Longs({900}));
}

TEST_F(DatabaseCopyTest, IntermediateCompactionAfterDocCellValues) {
    Build({{"A", 1}, {"doc_cell_values", 1}, {"B", 1}}, {"A", "doc_cell_values", "B"}, 2);
    EXPECT_TRUE(CopyDataBase(ctx, source, target, reference));
    EXPECT_EQ(Pane(), Head() + Copied("A", 2) + Copied("doc_cell_values", 2) + kStamp +
                          "Промежуточное сжатие файла БД " + target + " завершено успешно.\r\n" +
                          Copied("B", 2));
    EXPECT_FALSE(std::filesystem::exists(Path("Korund5_Compact.mdb")));
    auto out = Open(target);
    EXPECT_EQ(out->TableNames(), (std::vector<std::string>{"A", "doc_cell_values", "B"}));
    EXPECT_EQ(Count(*out, "B"), 2);
}

TEST_F(DatabaseCopyTest, StopDuringATableEndsItAndTheList) {
    Build({{"A", 1}, {"B", 1}}, {"A", "B"}, 50);
    int afterOpening = 0;
    ui.onYield = [&] {
        if (Has("(записей: 50) ...") && ++afterOpening == 20) state.mStopRequested = true;
    };
    EXPECT_FALSE(CopyDataBase(ctx, source, target, reference));
    auto out = Open(target);
    EXPECT_EQ(Pane(), Head() + kStamp + "Копирование таблицы A (записей: 50) прервано пользователем\r\n" +
                          "(скопировано записей: " + std::to_string(Count(*out, "A")) +
                          " из 50 в исходной таблице).\r\n");
    EXPECT_EQ(out->TableNames(), std::vector<std::string>{"A"});
}

TEST_F(DatabaseCopyTest, ExplicitTableListSkipsListTblAndItsRules) {
    Build({{"PfrErrors", 1}}, {"PfrErrors", "Doc_Cell_Values"}, 2, {"PfrErrors"});
    options.clearPfrErrors = true;
    EXPECT_TRUE(CopyDataBase(ctx, source, target, reference,
                             std::vector<std::string>{"Doc_Cell_Values", "PfrErrors"}));
    EXPECT_EQ(Pane(), Head() + Copied("Doc_Cell_Values", 2) + Copied("PfrErrors", 2));
}

TEST_F(DatabaseCopyTest, StructureCopiesExactlyTheChosenProperties) {
    auto ref = Create("ref.mdb");
    db::TableDef def =
        MakeDef(*ref, "S",
                {{"Counter"}, {"Code", db::dbText, 12}, {"Amount", db::dbCurrency}, {"Note", db::dbText, 10}},
                {"Counter"});
    def.Fields[0].Attributes |= db::dbAutoIncrField;
    def.Fields[1].AllowZeroLength = def.Fields[1].Required = true;
    def.Fields[1].DefaultValue = std::string("\"А1\"");
    def.Fields[3].DefaultValue = std::string(); // an empty default is no default
    db::Index byCode = def.CreateIndex("ByCode");
    byCode.Fields = {byCode.CreateField("Code"), byCode.CreateField("Amount")};
    byCode.Fields[0].Attributes = db::dbDescending;
    byCode.Unique = byCode.IgnoreNulls = true;
    def.Indexes.push_back(byCode);
    ref->AppendTableDef(def);
    auto dst = Create("dst.mdb");

    ASSERT_TRUE(CreateTableAndCopyStruct(ctx, "S", *ref, *dst));
    const db::TableDef got = dst->GetTableDef("S");
    ASSERT_EQ(got.Fields.size(), 4u);
    EXPECT_EQ(got.Fields[0].Attributes & db::dbAutoIncrField, 0); // a plain field
    EXPECT_EQ(got.Fields[1].Size, 12);
    EXPECT_TRUE(got.Fields[1].AllowZeroLength && got.Fields[1].Required);
    EXPECT_EQ(VarToStr(got.Fields[1].DefaultValue, ""), "\"А1\"");
    EXPECT_EQ(got.Fields[2].Type, db::dbCurrency);
    EXPECT_EQ(got.Fields[3].DefaultValue, def.CreateField("B", db::dbText, 10).DefaultValue);
    ASSERT_EQ(got.Indexes.size(), 2u);
    EXPECT_TRUE(got.Indexes[0].Primary);
    EXPECT_TRUE(!got.Indexes[1].Primary && got.Indexes[1].Unique && got.Indexes[1].IgnoreNulls);
    ASSERT_EQ(got.Indexes[1].Fields.size(), 2u);
    EXPECT_EQ(got.Indexes[1].Fields[0].Attributes & db::dbDescending, db::dbDescending);
    EXPECT_EQ(got.Indexes[1].Fields[1].Attributes & db::dbDescending, 0);
}

} // namespace
