#include "maintenance/DatabaseCopy.h"
#include "Fixtures.h"

#include <filesystem>

namespace k5::mtest {

struct DatabaseCopyTest : ContextFixture {
    std::string source = Path("Korund5.mdb"), target = Path("Korund5_Prophylaxis.mdb"),
                reference = Path("Korund5_LastVer.mdb");

    // "ListTbl" and tables (Id key, Name) of `rows` rows; row 900 in the reference's `refRowTables`.
    void Build(const std::vector<std::pair<std::string, int32_t>>& list,
               const std::vector<std::string>& tables, int rows,
               const std::vector<std::string>& refRowTables = {}) {
        std::filesystem::remove(source);
        std::filesystem::remove(reference);
        auto ref = Create("Korund5_LastVer.mdb"), src = Create("Korund5.mdb");
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
};

// A stale target replaced; a name the reference lacks fails; one listed twice holds its rows
// once; type 0 takes the reference's rows.
TEST_F(DatabaseCopyTest, MissingAndTwiceListedTables) {
    Build({{"A", 1}, {"Missing", 1}, {"B", 0}, {"A", 1}}, {"A", "B"}, 3, {"B"});
    AddTable(*Create("Korund5_Prophylaxis.mdb"), "Stale", {{"Id"}});
    EXPECT_FALSE(CopyDataBase(ctx, source, target, reference));
    EXPECT_EQ(Pane(), std::string(kStamp) + "Новый (пустой) файл БД \"" + target + "\" создан успешно.\r\n" +
                          "\r\nКопирование таблиц с данными из исходного файла БД во вновь созданный:\r\n" +
                          Copied("A", 3) + kStamp + "Таблица Missing не найдена в эталонной БД.\r\n" +
                          Copied("B", 1) + Copied("A", 3));
    EXPECT_FALSE(state.mProphylaxisOk);
    auto out = Open(target);
    EXPECT_EQ(out->TableNames(), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(Column(*out, "A", "Id"), Longs({1, 2, 3}));
    EXPECT_EQ(Column(*out, "B", "Name"), std::vector<Value>{std::string("эталон")});
}

// "PFRERRORS" in any letter case: copied, or with the option the reference's rows only.
TEST_F(DatabaseCopyTest, PfrErrorsFollowsTheOption) {
    for (bool clear : {false, true}) {
        Build({{"PfrErrors", 1}, {"Other", 1}}, {"PfrErrors", "Other"}, 4, {"PfrErrors"});
        options.clearPfrErrors = clear;
        EXPECT_TRUE(CopyDataBase(ctx, source, target, reference));
        EXPECT_EQ(Count(*Open(target), "PfrErrors"), clear ? 1 : 4) << clear;
        EXPECT_EQ(Count(*Open(target), "Other"), 4);
    }
}

TEST_F(DatabaseCopyTest, IntermediateCompactionAfterDocCellValues) {
    Build({{"A", 1}, {"doc_cell_values", 1}, {"B", 1}}, {"A", "doc_cell_values", "B"}, 2);
    EXPECT_TRUE(CopyDataBase(ctx, source, target, reference));
    EXPECT_TRUE(Shows(Copied("doc_cell_values", 2) + kStamp + "Промежуточное сжатие файла БД " + target +
                      " завершено успешно.\r\n" + Copied("B", 2)));
    EXPECT_FALSE(std::filesystem::exists(Path("Korund5_Compact.mdb")));
    auto out = Open(target);
    EXPECT_EQ(out->TableNames(), (std::vector<std::string>{"A", "doc_cell_values", "B"}));
    EXPECT_EQ(Count(*out, "B"), 2);
}

} // namespace k5::mtest
