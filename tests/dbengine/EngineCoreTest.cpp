// Definitions, values and rules of the engine, checked on real files.
#include "EngineTestUtil.h"

#include "common/TestUtil.h"

#include <gmock/gmock.h>

#include <sstream>

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

namespace {

TableDef AllTypesDef(Database& db) {
    TableDef t = db.CreateTableDef("AllTypes");
    auto add = [&](const std::string& name, int type, int size = 0) -> Field& {
        return t.Fields.emplace_back(t.CreateField(name, type, size));
    };
    add("Id", dbLong).Attributes |= dbAutoIncrField;
    add("Flag", dbBoolean).DefaultValue = std::string("False");
    add("Small", dbByte);
    add("Short", dbInteger).Required = true;
    add("Whole", dbLong).DefaultValue = std::string("0");
    add("Money", dbCurrency);
    add("Single", dbSingle);
    add("Dbl", dbDouble);
    add("When", dbDate).DefaultValue = std::string("Now()");
    add("Bin", dbBinary, 8);
    Field& name = add("Name", dbText, 20);
    name.AllowZeroLength = true;
    name.DefaultValue = std::string("\"безымянный\"");
    add("Blob", dbLongBinary);
    add("Note", dbMemo);
    add("Uid", dbGUID);
    t.Indexes = {
        Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true},
        Index{.Name = "ByName", .Fields = {{"Name", dbDescending}, {"When", 0}}, .IgnoreNulls = true},
        Index{.Name = "UniqShort", .Fields = {{"Short"}}, .Unique = true}};
    return t;
}

std::string Describe(const TableDef& t) {
    std::ostringstream out;
    for (const Field& f : t.Fields)
        out << f.Name << " type=" << f.Type << " size=" << f.Size << " attr=" << f.Attributes
            << " zero=" << f.AllowZeroLength << " required=" << f.Required
            << " default=" << f.DefaultValue.index() << ':' << VarToStr(f.DefaultValue, "") << '\n';
    for (const Index& ix : t.Indexes) {
        out << ix.Name << " primary=" << ix.Primary << " unique=" << ix.Unique
            << " ignoreNulls=" << ix.IgnoreNulls;
        for (const IndexField& f : ix.Fields)
            out << ' ' << f.Name << '/' << f.Attributes;
        out << '\n';
    }
    return out.str();
}

std::vector<Value> SampleRow() {
    Guid g;
    for (int i = 0; i < 16; ++i)
        g.bytes[i] = static_cast<uint8_t>(i * 17);
    // clang-format off
    return {int32_t(7), true, uint8_t(255), int16_t(-32768), int32_t(2147483647), Currency{-123456789}, 1.5f,
            -2.25e300, Date{45123.75}, Bytes{1, 2, 3}, std::string("Ёжик в тумане"), Bytes(70000, 0xAB),
            std::string(100000, 'm'), g};
    // clang-format on
}

// Adds a row of the given values (in field order): the refusal, number 0 when it was saved.
EngineError AddRow(Recordset& rs, const std::vector<Value>& values) {
    rs.AddNew();
    for (size_t i = 0; i < values.size(); ++i)
        rs.SetValue(static_cast<int>(i), values[i]);
    const EngineError e = Catch([&] { rs.Update(); });
    if (rs.EditMode() != dbEditNone) rs.CancelUpdate();
    return e;
}

struct Engine : ::testing::Test {
    ScratchDir dir;
    std::unique_ptr<Database> db = NewDb(dir.File("t.mdb"));
};

} // namespace

TEST(EngineDefinitions, EveryTypeAndPropertySurvivesReopenAndCompaction) {
    ScratchDir dir;
    const std::string path = dir.File("a.mdb"), compact = dir.File("compact.mdb");
    TableDef expected;
    {
        auto db = NewDb(path);
        db->AppendTableDef(expected = AllTypesDef(*db));
        auto rs = db->OpenRecordset("AllTypes", dbOpenTable);
        EXPECT_EQ(AddRow(*rs, SampleRow()).Number(), 0);
        rs->AddNew(); // a new row starts from the defaults, auto-increment after the highest value
        EXPECT_EQ(rs->EditMode(), dbEditAdd);
        rs->SetValue("Short", int16_t(1));
        rs->Update();
    }
    const std::string before = k5test::ReadAll(path);
    DBEngine::Instance().CompactDatabase(path, compact);
    EXPECT_EQ(k5test::ReadAll(path), before); // the source is left alone
    for (const auto& p : {path, compact}) {
        SCOPED_TRACE(p);
        auto db = OpenDb(p, true, true);
        EXPECT_EQ(db->TableNames(), std::vector<std::string>{"AllTypes"});
        EXPECT_EQ(Describe(db->GetTableDef("alltypes")), Describe(expected));
        auto rs = db->OpenRecordset("AllTypes", dbOpenTable);
        ASSERT_EQ(rs->RecordCount(), 2);
        const auto row = SampleRow();
        for (int i = 0; i < rs->FieldCount(); ++i)
            EXPECT_EQ(rs->GetValue(i), row[static_cast<size_t>(i)]) << rs->FieldInfo(i).Name;
        rs->MoveNext();
        EXPECT_EQ(rs->GetValue("Id"), Value(int32_t(8)));
        EXPECT_EQ(rs->GetValue("Name"), Value(std::string("безымянный")));
        EXPECT_EQ(rs->GetValue("Flag"), Value(false));
        EXPECT_TRUE(std::holds_alternative<Date>(rs->GetValue("When")));
        EXPECT_EQ(db->IntegrityCheck(), "");
    }
}

TEST_F(Engine, RefusalsAtUpdateCarryTheirNumberAndText) {
    TableDef t = db->CreateTableDef("Doc");
    t.Fields = {t.CreateField("Id", dbLong), t.CreateField("Code", dbText, 5),
                t.CreateField("Bin", dbBinary, 2), t.CreateField("Small", dbByte)};
    t.Fields[1].Required = true;
    t.Indexes = {Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true}};
    db->AppendTableDef(t);
    auto rs = db->OpenRecordset("Doc", dbOpenTable);
    // A value of the wrong type or out of range is refused when it is assigned.
    rs->AddNew();
    for (const auto& [field, given] : std::vector<std::pair<int, Value>>{{0, std::string("abc")},
                                                                         {0, 2.5},
                                                                         {1, Bytes{1}},
                                                                         {2, std::string("x")},
                                                                         {3, int32_t(256)},
                                                                         {3, -1.0}})
        EXPECT_EQ(Catch([&] { rs->SetValue(field, given); }).Number(), 3421) << field;
    rs->SetValue(0, 12.0); // lossless conversions are made
    rs->SetValue(1, int32_t(42));
    EXPECT_EQ(rs->GetValue(0), Value(int32_t(12)));
    EXPECT_EQ(rs->GetValue(1), Value(std::string("42")));
    rs->CancelUpdate();

    auto attempt = [&](Value id, Value code, Value bin = Null{}) { return AddRow(*rs, {id, code, bin}); };
    EXPECT_EQ(attempt(int32_t(1), std::string("ок")).Number(), 0);
    const EngineError required = attempt(int32_t(2), Null{});
    EXPECT_EQ(required.Number(), 3314);
    EXPECT_EQ(required.Description(),
              "Поле 'Doc.Code' не может содержать значение Null, поскольку свойство "
              "Required для этого поля имеет значение True.  Введите значение в поле.");
    const EngineError dup = attempt(int32_t(1), std::string("x"));
    EXPECT_EQ(dup.Number(), 3022);
    EXPECT_THAT(dup.Description(),
                ::testing::EndsWith("  Измените данные в поле или полях, содержащих повторяющиеся значения, "
                                    "удалите индекс или переопределите его, чтобы разрешить повторяющиеся "
                                    "значения, и повторите попытку."));
    EXPECT_EQ(attempt(int32_t(3), std::string("")).Number(), 3315);
    EXPECT_EQ(attempt(int32_t(4), std::string("абвгде")).Number(), 3163); // 6 letters into 5
    EXPECT_EQ(attempt(int32_t(5), std::string("абвгд")).Number(), 0);     // 5 letters, 10 bytes
    EXPECT_EQ(attempt(int32_t(6), std::string("b"), Bytes{1, 2, 3}).Number(), 3163);
    EXPECT_EQ(attempt(Null{}, std::string("n")).Number(), 3058);
    // A refused row leaves the saved ones alone, also after a reopen.
    rs.reset();
    const std::string path = db->Name();
    db->Close();
    db = OpenDb(path);
    EXPECT_EQ(db->OpenRecordset("Doc", dbOpenTable)->RecordCount(), 2);
}

TEST_F(Engine, UniqueIndexesIgnoreCaseAndNullsTextOrderIsRussian) {
    TableDef t = db->CreateTableDef("Words");
    t.Fields = {t.CreateField("A", dbText, 30), t.CreateField("B", dbLong)};
    t.Indexes = {Index{.Name = "UA", .Fields = {{"A"}}, .Unique = true},
                 Index{.Name = "UB", .Fields = {{"B"}}, .Unique = true, .IgnoreNulls = true}};
    db->AppendTableDef(t);
    auto rs = db->OpenRecordset("Words", dbOpenTable);
    EXPECT_EQ(Catch([&] { rs->MoveFirst(); }).Number(), 3021); // an empty table has no first row
    int32_t n = 0;
    for (const char* w : {"жук", "Ёлка", "ель", "Яма", "аист", "Zebra", "apple"})
        EXPECT_EQ(AddRow(*rs, {std::string(w), ++n}).Number(), 0);
    EXPECT_EQ(AddRow(*rs, {std::string("ЖУК"), Null{}}).Number(), 3022);
    EXPECT_EQ(AddRow(*rs, {std::string("new"), int32_t(1)}).Number(), 3022);
    // Nulls are never duplicates of each other, with or without IgnoreNulls.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(AddRow(*rs, {Null{}, Null{}}).Number(), 0);
    EXPECT_EQ(rs->RecordCount(), 9);
    std::vector<std::string> order;
    for (auto q = db->OpenRecordset("SELECT A FROM Words WHERE B > 0 ORDER BY A"); !q->IsEOF(); q->MoveNext())
        order.push_back(std::get<std::string>(q->GetValue(0)));
    EXPECT_EQ(order, (std::vector<std::string>{"apple", "Zebra", "аист", "ель", "Ёлка", "жук", "Яма"}));
    EXPECT_EQ(db->OpenRecordset("SELECT count(*) FROM Words WHERE A = 'ЯМА'")->GetValue(0),
              Value(int32_t(1)));
}

TEST_F(Engine, SqlRecordsetsBindParametersAndCountExactly) {
    TableDef t = db->CreateTableDef("Docs");
    t.Fields = {t.CreateField("A", dbLong), t.CreateField("B", dbText, 20), t.CreateField("C", dbCurrency)};
    db->AppendTableDef(t);
    db->Execute("INSERT INTO Docs VALUES (1, 'one', 15000), (2, 'two', 25000), (3, 'three''s', 35000)");
    // Values are bound, never spliced: a quote in a parameter is just a character.
    auto rs = db->OpenRecordset("SELECT A, B, C FROM Docs WHERE B = ? OR A > ? ORDER BY A",
                                std::vector<Value>{std::string("THREE's"), int32_t(1)});
    EXPECT_EQ(rs->RecordCount(), 2);
    EXPECT_EQ(rs->GetValue("C"), Value(Currency{25000}));
    rs->MoveNext();
    EXPECT_EQ(rs->GetValue("B"), Value(std::string("three's")));
    EXPECT_EQ(Catch([&] { rs->AddNew(); }).Number(), 3027);
    auto table = db->OpenRecordset("docs"); // closing the database closes its recordsets
    db->Close();
    EXPECT_EQ(Catch([&] { table->MoveFirst(); }).Number(), 3420);
}
