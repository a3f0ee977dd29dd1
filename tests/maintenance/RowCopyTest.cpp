#include "maintenance/RowCopy.h"
#include "Fixtures.h"

namespace k5::mtest {

std::string Opening(int n) {
    return std::string(kStamp) + "Копирование таблицы T (записей: " + std::to_string(n) + ")";
}
std::string Refused(int row, const std::string& why) {
    const std::string n = std::to_string(row);
    return "Копирование записи № " + n + " вызвало ошибку: " + why + "\r\nСохранение записи № " + n +
           " отменено.\r\n";
}
std::string Failed(int copied, int total) {
    return "Копирование таблицы T завершено с ошибкой (скопировано записей: " + std::to_string(copied) +
           " из " + std::to_string(total) +
           " в исходной таблице, проигнорировано записей: " + std::to_string(total - copied) + ").\r\n";
}

struct RowCopyTest : ContextFixture {
    std::unique_ptr<db::Database> src = Create("src.mdb"), dst = Create("dst.mdb");
    int files = 0;

    // "T" (Id, Big) in fresh files, keyed on Id in the target; row `damaged` (1-based) unreadable.
    void Tables(const std::vector<int32_t>& ids, size_t damaged = 0) {
        const std::string name = "src" + std::to_string(++files) + ".mdb";
        src = Create(name);
        dst = Create("dst" + std::to_string(files) + ".mdb");
        AddTable(*src, "T", {{"Id"}, {"Big", db::dbLongBinary}});
        AddTable(*dst, "T", {{"Id"}, {"Big", db::dbLongBinary}}, {"Id"});
        std::vector<std::vector<Value>> rows;
        for (size_t i = 0; i < ids.size(); ++i)
            rows.push_back({ids[i], i + 1 == damaged ? Bytes(200000, 1) : Bytes{1, 2}});
        AddRows(*src, "T", rows);
        src.reset();
        if (damaged) db::test::BreakOverflowChain(Path(name));
        src = Open(Path(name));
    }
};

// A clean table of 1 234 rows into a target with its fields in another order and one field
// the source lacks (it keeps its default), and an empty table.
TEST_F(RowCopyTest, CleanAndEmptyTables) {
    AddTable(*src, "T", {{"Id"}, {"Name", db::dbText, 50}}, {"Id"});
    db::TableDef def = MakeDef(*dst, "T", {{"Name", db::dbText, 50}, {"Extra"}, {"Id"}}, {"Id"});
    def.Fields[1].DefaultValue = std::string("7");
    dst->AppendTableDef(def);
    AddTable(*src, "E", {{"Id"}});
    AddTable(*dst, "E", {{"Id"}});
    std::vector<std::vector<Value>> rows;
    for (int32_t i = 1; i <= 1234; ++i)
        rows.push_back({i, "Строка " + std::to_string(i)});
    AddRows(*src, "T", rows);

    EXPECT_TRUE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_TRUE(CopyTableRows(ctx, "E", src.get(), dst.get()));
    const std::string done = " завершено успешно (скопировано записей: ";
    EXPECT_EQ(Pane(), std::string(kStamp) + "Копирование таблицы T (записей: 1 234)" + done + "1 234).\r\n" +
                          kStamp + "Копирование таблицы E (записей: 0)" + done + "0).\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_EQ(Column(*dst, "T", "Name"), Column(*src, "T", "Name"));
    EXPECT_EQ(Column(*dst, "T", "Extra"), std::vector<Value>(1234, int32_t{7}));
    EXPECT_GE(ui.progressCalls, 1);
}

// Damaged and refused rows: the lines, the message limit (damaged rows count towards it),
// the rows that reach the target; the engine's advice is cut from the refusal.
TEST_F(RowCopyTest, DamagedAndRefusedRows) {
    std::string dup;
    {
        auto scratch = Create("scratch.mdb");
        AddTable(*scratch, "D", {{"Id"}}, {"Id"});
        AddRows(*scratch, "D", {{1}});
        dup = ErrorOf([&] { AddRows(*scratch, "D", {{1}}); });
        ASSERT_TRUE(dup.ends_with(kAdviceDuplicate)) << dup;
        dup.resize(dup.size() - std::string(kAdviceDuplicate).size());
    }
    struct Case {
        std::vector<int32_t> ids;
        size_t damaged;
        int limit;
        std::string body;
        std::vector<Value> copied;
    };
    // clang-format off
    const Case cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 8}, 5, 0, " Поврежденная запись № 5.\r\n" + Failed(7, 8), Longs({1, 2, 3, 4, 6, 7, 8})},
        {{1, 2, 2, 3}, 0, 0, "\r\n" + Refused(3, dup) + Failed(3, 4), Longs({1, 2, 3})},
        {{7, 7, 7, 8, 7, 7, 7}, 0, 2, "\r\n" + Refused(2, dup) + Refused(3, dup) + Failed(2, 7), Longs({7, 8})},
        {{1, 2, 2}, 1, 0, " Поврежденная запись № 1.\r\n" + Refused(3, dup) + Failed(1, 3), Longs({2})},
        {{1, 2, 2, 2}, 1, 1, " Поврежденная запись № 1.\r\n" + Failed(1, 4), Longs({2})},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        log.ClearPane();
        state.mProphylaxisOk = true;
        state.mMaxErrorMessages = c.limit;
        Tables(c.ids, c.damaged);
        EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
        EXPECT_EQ(Pane(), Opening(static_cast<int>(c.ids.size())) + c.body);
        EXPECT_EQ(Column(*dst, "T", "Id"), c.copied);
        EXPECT_FALSE(state.mProphylaxisOk);
        EXPECT_TRUE(log.Pane().Runs().back().colour == kColourDarkRed && log.Pane().Runs().back().bold);
    }
}

TEST_F(RowCopyTest, StopInTheMiddleOfATable) {
    std::vector<int32_t> ids;
    for (int32_t i = 1; i <= 100; ++i)
        ids.push_back(i);
    Tables(ids);
    int yields = 0;
    ui.onYield = [&] { state.mStopRequested = ++yields >= 40; };
    EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    const int64_t copied = Count(*dst, "T");
    EXPECT_TRUE(copied > 0 && copied < 100) << copied;
    EXPECT_EQ(Pane(), Opening(100) + " прервано пользователем\r\n(скопировано записей: " +
                          std::to_string(copied) + " из 100 в исходной таблице).\r\n");
    EXPECT_FALSE(state.mProphylaxisOk);
}

// Only engine errors of the save are failed entries: a value refused when set climbs with
// the table and field.
TEST_F(RowCopyTest, ValueRefusedWhenSetNamesTableAndField) {
    AddTable(*src, "T", {{"Id"}, {"V", db::dbText, 20}});
    AddTable(*dst, "T", {{"Id"}, {"V"}});
    AddRows(*src, "T", {{1, std::string("не число")}});
    EXPECT_THAT(ErrorOf([&] { CopyTableRows(ctx, "T", src.get(), dst.get()); }),
                AllOf(HasSubstr("ProphylaxisFrm.CopyTableRows"), HasSubstr("Таблица: T, поле: V")));
    EXPECT_EQ(Pane(), Opening(1) + " ..."); // no closing line for that table
}

// A table the source lacks is made empty in the target, and the copy goes on.
TEST_F(RowCopyTest, MissingTables) {
    AddTable(*dst, "OnlyTarget", {{"Id"}});
    AddTable(*src, "OnlySource", {{"Id"}});
    for (const char* t : {"OnlyTarget", "Nowhere", "OnlySource"})
        EXPECT_FALSE(CopyTableRows(ctx, t, src.get(), dst.get()));
    EXPECT_EQ(Pane(), std::string(kStamp) +
                          "Таблица OnlyTarget не обнаружена в исходной базе данных. Создана новая таблица "
                          "OnlyTarget.\r\n" +
                          kStamp +
                          "Таблица Nowhere не обнаружена в исходной базе данных и не удалось создать новую "
                          "таблицу Nowhere.\r\n" +
                          kStamp + "Таблица OnlySource не найдена в конечной базе данных.\r\n");
}

// A field's type damaged in the source's catalogue: the rows are read by the declared type,
// and the table does not count as clean, for what the damage may have cost is not known.
TEST_F(RowCopyTest, DamagedDefinitionIsAFailureOfItsTable) {
    AddTable(*src, "T", {{"Id"}, {"Name", db::dbText, 20}});
    AddTable(*dst, "T", {{"Id"}, {"Name", db::dbText, 20}});
    AddRows(*src, "T", {{1, std::string("один")}, {2, std::string("два")}});
    src.reset();
    std::string bytes = k5test::ReadAll(Path("src.mdb"));
    const size_t at = bytes.find("TName\x0a"); // the catalogue row: table, name, type 10
    ASSERT_NE(at, std::string::npos);
    bytes[at + 5] = '\x0b';
    k5test::WriteAll(Path("src.mdb"), bytes);
    src = Open(Path("src.mdb"));
    EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_EQ(Pane(), std::string(kStamp) +
                          "Описание таблицы T в исходной базе данных повреждено: неверный тип поля 'Name' в "
                          "каталоге.\r\n" +
                          Opening(2) + " завершено с ошибкой\r\n(скопировано записей: 2 из 2 в исходной таблице).\r\n");
    EXPECT_EQ(Column(*dst, "T", "Name"), (std::vector<Value>{std::string("один"), std::string("два")}));
}

} // namespace k5::mtest
