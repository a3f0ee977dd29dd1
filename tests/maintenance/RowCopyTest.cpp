#include "maintenance/RowCopy.h"
#include "CopyFixture.h"

using namespace k5;
using namespace k5::copytest;

namespace {

struct RowCopyTest : CopyFixture {
    std::unique_ptr<db::Database> src, dst;

    void SetUp() override {
        src = Create("src.mdb");
        dst = Create("dst.mdb");
    }
    // The engine's own refusal text for a duplicate key, taken from a scratch table.
    std::string DuplicateText() {
        auto scratch = Create("scratch.mdb");
        AddTable(*scratch, "D", {{"Id"}}, {"Id"});
        AddRow(*scratch, "D", Longs({1}));
        auto rs = scratch->OpenRecordset("D", db::dbOpenTable);
        rs->AddNew();
        rs->SetValue(0, int32_t{1});
        try {
            rs->Update();
        } catch (const K5Error& e) {
            rs->CancelUpdate();
            return e.Description();
        }
        ADD_FAILURE() << "duplicate key accepted";
        return {};
    }
    // The source with one damaged row (1-based) among `rows` rows of Id and Big; `ids`
    // gives the Id of every row.
    void SourceWithDamagedRow(const std::vector<int32_t>& ids, size_t damaged) {
        AddTable(*src, "T", {{"Id"}, {"Big", db::dbLongBinary}});
        for (size_t i = 0; i < ids.size(); ++i)
            AddRow(*src, "T", {ids[i], i + 1 == damaged ? BigBlob() : Bytes{1, 2, 3}});
        src->Close();
        src.reset();
        BreakOverflowChain(Path("src.mdb"));
        src = Open("src.mdb", true);
    }
};

TEST_F(RowCopyTest, CleanTableOf1234RowsIsCopiedWithOneLine) {
    AddTable(*src, "T", {{"Id"}, {"Name", db::dbText, 50}}, {"Id"});
    AddTable(*dst, "T", {{"Id"}, {"Name", db::dbText, 50}}, {"Id"});
    std::vector<std::vector<Value>> rows;
    for (int32_t i = 1; i <= 1234; ++i)
        rows.push_back({i, std::string("Строка ") + std::to_string(i)});
    AddRows(*src, "T", rows);

    EXPECT_TRUE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_EQ(
        Pane(),
        std::string(kStamp) +
            "Копирование таблицы T (записей: 1 234) завершено успешно (скопировано записей: 1 234).\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_EQ(Column(*dst, "T", "Name"), Column(*src, "T", "Name"));
    EXPECT_GE(ui.progressCalls, 1); // row progress reported on the way
}

TEST_F(RowCopyTest, EmptyTable) {
    AddTable(*src, "T", {{"Id"}});
    AddTable(*dst, "T", {{"Id"}});
    EXPECT_TRUE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_EQ(Pane(),
              std::string(kStamp) +
                  "Копирование таблицы T (записей: 0) завершено успешно (скопировано записей: 0).\r\n");
}

TEST_F(RowCopyTest, DamagedFifthRowIsReportedAndSkipped) {
    SourceWithDamagedRow({1, 2, 3, 4, 5, 6, 7, 8}, 5);
    AddTable(*dst, "T", {{"Id"}, {"Big", db::dbLongBinary}});

    EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_EQ(Pane(), std::string(kStamp) +
                          "Копирование таблицы T (записей: 8) Поврежденная запись № 5.\r\n"
                          "Копирование таблицы T завершено с ошибкой (скопировано записей: 7 из 8 в исходной "
                          "таблице, проигнорировано записей: 1).\r\n");
    EXPECT_EQ(Column(*dst, "T", "Id"), Longs({1, 2, 3, 4, 6, 7, 8}));
    EXPECT_FALSE(state.mProphylaxisOk);
    // The damaged-row text is red and bold, like the closing line.
    const auto& runs = log.Pane().Runs();
    ASSERT_GE(runs.size(), 2u);
    EXPECT_TRUE(runs.back().bold);
    EXPECT_EQ(runs.back().colour, kColourDarkRed);
}

TEST_F(RowCopyTest, DuplicatesWithoutLimitGiveErrorAndCancelLines) {
    const std::string raw = DuplicateText();
    ASSERT_TRUE(raw.size() > std::string(kAdviceDuplicate).size() &&
                raw.compare(raw.size() - std::string(kAdviceDuplicate).size(), std::string::npos,
                            kAdviceDuplicate) == 0)
        << raw;
    const std::string text = raw.substr(0, raw.size() - std::string(kAdviceDuplicate).size());

    AddTable(*src, "T", {{"Id"}});
    AddTable(*dst, "T", {{"Id"}}, {"Id"});
    AddRows(*src, "T", {{1}, {2}, {2}, {3}});
    EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_EQ(Pane(), std::string(kStamp) + "Копирование таблицы T (записей: 4)\r\n" +
                          "Копирование записи № 3 вызвало ошибку: " + text + "\r\n" +
                          "Сохранение записи № 3 отменено.\r\n"
                          "Копирование таблицы T завершено с ошибкой (скопировано записей: 3 из 4 в исходной "
                          "таблице, проигнорировано записей: 1).\r\n");
    EXPECT_EQ(Column(*dst, "T", "Id"), Longs({1, 2, 3}));
}

TEST_F(RowCopyTest, LimitOfTwoShowsTwoOfFiveRefusedRows) {
    const std::string raw = DuplicateText();
    const std::string text = CutEngineAdvice(raw);
    state.mMaxErrorMessages = 2;
    AddTable(*src, "T", {{"Id"}});
    AddTable(*dst, "T", {{"Id"}}, {"Id"});
    AddRows(*src, "T", {{7}, {7}, {7}, {8}, {7}, {7}, {7}});
    EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_EQ(Pane(), std::string(kStamp) + "Копирование таблицы T (записей: 7)\r\n" +
                          "Копирование записи № 2 вызвало ошибку: " + text + "\r\n" +
                          "Сохранение записи № 2 отменено.\r\n" + "Копирование записи № 3 вызвало ошибку: " +
                          text + "\r\n" + "Сохранение записи № 3 отменено.\r\n" +
                          "Копирование таблицы T завершено с ошибкой (скопировано записей: 2 из 7 в исходной "
                          "таблице, проигнорировано записей: 5).\r\n");
}

TEST_F(RowCopyTest, DamagedFirstRowThenRefusedRow) {
    SourceWithDamagedRow({1, 2, 2}, 1);
    AddTable(*dst, "T", {{"Id"}, {"Big", db::dbLongBinary}}, {"Id"});
    const std::string text = CutEngineAdvice(DuplicateText());

    EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_EQ(Pane(), std::string(kStamp) +
                          "Копирование таблицы T (записей: 3) Поврежденная запись № 1.\r\n" +
                          "Копирование записи № 3 вызвало ошибку: " + text + "\r\n" +
                          "Сохранение записи № 3 отменено.\r\n"
                          "Копирование таблицы T завершено с ошибкой (скопировано записей: 1 из 3 в исходной "
                          "таблице, проигнорировано записей: 2).\r\n");
}

TEST_F(RowCopyTest, DamagedRowsCountTowardsTheLimit) {
    SourceWithDamagedRow({1, 2, 2, 2}, 1);
    AddTable(*dst, "T", {{"Id"}, {"Big", db::dbLongBinary}}, {"Id"});
    state.mMaxErrorMessages = 1;
    EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    // The damaged row used up the one message: the refused rows are skipped silently.
    EXPECT_EQ(Pane(), std::string(kStamp) +
                          "Копирование таблицы T (записей: 4) Поврежденная запись № 1.\r\n"
                          "Копирование таблицы T завершено с ошибкой (скопировано записей: 1 из 4 в исходной "
                          "таблице, проигнорировано записей: 3).\r\n");
}

TEST_F(RowCopyTest, StopInTheMiddleOfATable) {
    AddTable(*src, "T", {{"Id"}});
    AddTable(*dst, "T", {{"Id"}});
    std::vector<std::vector<Value>> rows;
    for (int32_t i = 1; i <= 100; ++i)
        rows.push_back({i});
    AddRows(*src, "T", rows);
    int yields = 0;
    ui.onYield = [&] {
        if (++yields == 40) state.mStopRequested = true;
    };
    EXPECT_FALSE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    const int64_t copied = Count(*dst, "T");
    EXPECT_GT(copied, 0);
    EXPECT_LT(copied, 100);
    EXPECT_EQ(Pane(),
              std::string(kStamp) + "Копирование таблицы T (записей: 100) прервано пользователем\r\n" +
                  "(скопировано записей: " + std::to_string(copied) + " из 100 в исходной таблице).\r\n");
    EXPECT_TRUE(log.Pane().Runs().back().bold);
    EXPECT_FALSE(state.mProphylaxisOk);
}

TEST_F(RowCopyTest, TargetFieldAbsentFromSourceKeepsItsDefault) {
    AddTable(*src, "T", {{"Id"}, {"Name", db::dbText, 20}});
    db::TableDef def = MakeDef(*dst, "T", {{"Name", db::dbText, 20}, {"Extra"}, {"Id"}});
    def.Fields[1].DefaultValue = std::string("7");
    dst->AppendTableDef(def);
    AddRows(*src, "T", {{1, std::string("а")}, {2, std::string("б")}});

    EXPECT_TRUE(CopyTableRows(ctx, "T", src.get(), dst.get()));
    EXPECT_EQ(Column(*dst, "T", "Id"), Longs({1, 2}));
    EXPECT_EQ(Column(*dst, "T", "Extra"), Longs({7, 7}));
    EXPECT_EQ(Column(*dst, "T", "Name"), (std::vector<Value>{std::string("а"), std::string("б")}));
}

TEST_F(RowCopyTest, ValueRefusedWhenSetNamesTableAndField) {
    AddTable(*src, "T", {{"Id"}, {"V", db::dbText, 20}});
    AddTable(*dst, "T", {{"Id"}, {"V"}});
    AddRows(*src, "T", {{1, std::string("не число")}});
    try {
        CopyTableRows(ctx, "T", src.get(), dst.get());
        FAIL() << "a refused value must leave the row copy";
    } catch (const K5Error& e) {
        EXPECT_NE(e.Description().find("ProphylaxisFrm.CopyTableRows"), std::string::npos) << e.Description();
        EXPECT_NE(e.Description().find("Таблица: T, поле: V"), std::string::npos) << e.Description();
    }
    // The opening line stays open: no closing line for that table.
    EXPECT_EQ(Pane(), std::string(kStamp) + "Копирование таблицы T (записей: 1) ...");
}

TEST_F(RowCopyTest, MissingTables) {
    AddTable(*dst, "OnlyTarget", {{"Id"}});
    AddTable(*src, "OnlySource", {{"Id"}});
    EXPECT_FALSE(CopyTableRows(ctx, "OnlyTarget", src.get(), dst.get()));
    EXPECT_FALSE(CopyTableRows(ctx, "Nowhere", src.get(), dst.get()));
    EXPECT_FALSE(CopyTableRows(ctx, "OnlySource", src.get(), dst.get()));
    EXPECT_EQ(Pane(),
              std::string(kStamp) +
                  "Таблица OnlyTarget не обнаружена в исходной базе данных. Создана новая таблица "
                  "OnlyTarget.\r\n" +
                  kStamp +
                  "Таблица Nowhere не обнаружена в исходной базе данных и не удалось создать новую таблицу "
                  "Nowhere.\r\n" +
                  kStamp + "Таблица OnlySource не найдена в конечной базе данных.\r\n");
}

TEST(CutEngineAdviceTest, CutsOneTrailingSentenceOnly) {
    const std::string req = kAdviceRequired, dup = kAdviceDuplicate;
    EXPECT_EQ(CutEngineAdvice("Поле 'X' не может содержать значение Null." + req),
              "Поле 'X' не может содержать значение Null.");
    EXPECT_EQ(CutEngineAdvice("Повтор." + dup), "Повтор.");
    EXPECT_EQ(CutEngineAdvice("Повтор." + dup + req), "Повтор." + dup); // at most one cut
    EXPECT_EQ(CutEngineAdvice("Текст" + req + " "), "Текст" + req + " ");
    EXPECT_EQ(CutEngineAdvice(req.substr(1)), req.substr(1));
}

} // namespace
