// Definitions, values and rules of the engine, checked on real files.
#include "EngineTestUtil.h"

#include "support/Common.h"

#include <gmock/gmock.h>

#include <sstream>

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

namespace {

TableDef AllTypesDef(Database& db) {
    TableDef t = db.CreateTableDef("AllTypes");
    auto add = [&](const std::string& name, int type, int size = 0) -> Field& {
        t.Fields.push_back(t.CreateField(name, type, size));
        return t.Fields.back();
    };
    Field& id = add("Id", dbLong);
    id.Attributes |= dbAutoIncrField;
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

// Every property of the definition, one line per field and index.
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

// A new database in a scratch folder.
struct Engine : ::testing::Test {
    ScratchDir dir;
    std::unique_ptr<Database> db = NewDb(dir.File("t.mdb"));
};

} // namespace

TEST(EngineDefinitions, EveryTypeAndPropertySurvivesReopenAndCompaction) {
    ScratchDir dir;
    const std::string path = dir.File("a.mdb");
    TableDef expected;
    {
        auto db = NewDb(path);
        expected = AllTypesDef(*db);
        db->AppendTableDef(expected);
        auto rs = db->OpenRecordset("AllTypes", dbOpenTable);
        rs->AddNew();
        const auto row = SampleRow();
        for (int i = 0; i < rs->FieldCount(); ++i)
            rs->SetValue(i, row[static_cast<size_t>(i)]);
        rs->Update();
        db->Close();
    }
    const std::string compact = dir.File("compact.mdb");
    DBEngine::Instance().CompactDatabase(path, compact);
    for (const auto& p : {path, compact}) {
        SCOPED_TRACE(p);
        auto db = OpenDb(p, true, true);
        EXPECT_EQ(db->TableNames(), std::vector<std::string>{"AllTypes"});
        TableDef got = db->GetTableDef("alltypes");
        EXPECT_EQ(got.Name, "AllTypes");
        EXPECT_EQ(Describe(got), Describe(expected));
        auto rs = db->OpenRecordset("AllTypes", dbOpenTable);
        ASSERT_EQ(rs->RecordCount(), 1);
        ASSERT_FALSE(rs->IsEOF());
        const auto row = SampleRow();
        for (int i = 0; i < rs->FieldCount(); ++i) {
            SCOPED_TRACE(rs->FieldInfo(i).Name);
            EXPECT_EQ(rs->GetValue(i), row[static_cast<size_t>(i)]);
        }
        rs->MoveNext();
        EXPECT_TRUE(rs->IsEOF());
        EXPECT_EQ(db->IntegrityCheck(), "");
    }
}

TEST_F(Engine, DefaultsAndAutoNumberFillANewRow) {
    db->AppendTableDef(AllTypesDef(*db));
    auto rs = db->OpenRecordset("AllTypes", dbOpenTable);
    EXPECT_EQ(rs->EditMode(), dbEditNone);
    for (int16_t s : {int16_t(1), int16_t(2)}) {
        rs->AddNew();
        EXPECT_EQ(rs->EditMode(), dbEditAdd);
        EXPECT_EQ(rs->GetValue("Name"), Value(std::string("безымянный")));
        EXPECT_EQ(rs->GetValue("Whole"), Value(int32_t(0)));
        EXPECT_EQ(rs->GetValue("Flag"), Value(false));
        EXPECT_TRUE(std::holds_alternative<Date>(rs->GetValue("When")));
        rs->SetValue("Short", s);
        rs->Update();
        EXPECT_EQ(rs->EditMode(), dbEditNone);
    }
    rs->AddNew();
    rs->SetValue("Short", int16_t(3));
    rs->CancelUpdate();
    EXPECT_EQ(rs->EditMode(), dbEditNone);
    EXPECT_EQ(rs->RecordCount(), 2);
    rs->MoveFirst();
    EXPECT_EQ(rs->GetValue("Id"), Value(int32_t(1)));
    rs->MoveNext();
    EXPECT_EQ(rs->GetValue("Id"), Value(int32_t(2)));
}

TEST_F(Engine, WrongTypeOrRangeIsRefusedAtAssignmentLosslessConversionsAccepted) {
    struct Case {
        int type, size;
        Value given, stored; // stored: Null = refused with 3421
    };
    // clang-format off
    const Case cases[] = {
        {dbLong, 0, std::string("abc"), Null{}}, {dbByte, 0, int32_t(256), Null{}},
        {dbByte, 0, int16_t(-1), Null{}}, {dbInteger, 0, int32_t(40000), Null{}},
        {dbLong, 0, int64_t(2147483648LL), Null{}}, {dbLong, 0, 2.5, Null{}},
        {dbText, 10, Bytes{1}, Null{}}, {dbDate, 0, std::string("01.01.2020"), Null{}},
        {dbBinary, 10, std::string("x"), Null{}}, {dbGUID, 0, Bytes{1, 2}, Null{}},
        {dbSingle, 0, 1e300, Null{}}, {dbMemo, 0, std::string("\xff\xfe"), Null{}},
        {dbDouble, 0, int32_t(5), 5.0}, {dbLong, 0, 12.0, int32_t(12)},
        {dbCurrency, 0, int32_t(3), Currency{30000}}, {dbText, 10, int32_t(42), std::string("42")},
        {dbBoolean, 0, int32_t(-1), true}};
    // clang-format on
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(n));
        TableDef t = db->CreateTableDef("T" + std::to_string(n++));
        t.Fields.push_back(t.CreateField("F", c.type, c.size));
        db->AppendTableDef(t);
        auto rs = db->OpenRecordset(t.Name, dbOpenTable);
        rs->AddNew();
        const EngineError e = Catch([&] { rs->SetValue(0, c.given); });
        EXPECT_EQ(e.Number(), IsNull(c.stored) ? 3421 : 0);
        EXPECT_EQ(IsNull(c.stored) ? c.stored : rs->GetValue(0), c.stored);
    }
}

TEST_F(Engine, RefusalsAtUpdateCarryTheirNumberAndText) {
    TableDef t = db->CreateTableDef("Doc");
    t.Fields = {t.CreateField("Id", dbLong), t.CreateField("Code", dbText, 5),
                t.CreateField("Bin", dbBinary, 2)};
    t.Fields[1].Required = true;
    t.Indexes = {Index{.Name = "PrimaryKey", .Fields = {{"Id"}}, .Primary = true}};
    db->AppendTableDef(t);
    auto rs = db->OpenRecordset("Doc", dbOpenTable);
    auto attempt = [&](Value id, Value code, Value bin = Null{}) { return AddRow(*rs, {id, code, bin}); };
    EXPECT_EQ(attempt(int32_t(1), std::string("ок")).Number(), 0);

    const EngineError required = attempt(int32_t(2), Null{});
    EXPECT_EQ(required.Number(), 3314);
    EXPECT_EQ(required.Description(),
              "Поле 'Doc.Code' не может содержать значение Null, поскольку свойство "
              "Required для этого поля имеет значение True.  Введите значение в поле.");
    EXPECT_EQ(required.Source(), "DAO.Database");

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
    EXPECT_EQ(rs->RecordCount(), 2);
    rs.reset();
    const std::string path = db->Name();
    db->Close();
    db = OpenDb(path);
    EXPECT_EQ(db->OpenRecordset("Doc", dbOpenTable)->RecordCount(), 2);
}

TEST_F(Engine, PendingRowNeedsAddNew) {
    TableDef t = db->CreateTableDef("T");
    t.Fields = {t.CreateField("A", dbLong)};
    db->AppendTableDef(t);
    auto rs = db->OpenRecordset("T", dbOpenTable);
    EXPECT_EQ(Catch([&] { rs->SetValue(0, int32_t(1)); }).Number(), 3020);
    EXPECT_EQ(Catch([&] { rs->Update(); }).Number(), 3020);
    EXPECT_TRUE(rs->IsEOF());
    EXPECT_EQ(Catch([&] { rs->GetValue(0); }).Number(), 3021);
    EXPECT_EQ(Catch([&] { rs->MoveFirst(); }).Number(), 3021); // an empty table has no first row
    EXPECT_EQ(Catch([&] { rs->MoveNext(); }).Number(), 3021);
    EXPECT_EQ(Catch([&] { db->OpenRecordset("SELECT A FROM T")->MoveFirst(); }).Number(), 3021);
    EXPECT_EQ(Catch([&] { db->OpenRecordset("Missing"); }).Number(), 3078);
    EXPECT_EQ(Catch([&] { rs->GetValue("Nope"); }).Number(), 3265);
}

TEST_F(Engine, UniqueIndexesAndNulls) {
    TableDef t = db->CreateTableDef("T");
    t.Fields = {t.CreateField("A", dbLong), t.CreateField("B", dbLong)};
    t.Indexes = {Index{.Name = "UA", .Fields = {{"A"}}, .Unique = true},
                 Index{.Name = "UB", .Fields = {{"B"}}, .Unique = true, .IgnoreNulls = true}};
    db->AppendTableDef(t);
    auto rs = db->OpenRecordset("T", dbOpenTable);
    // Nulls are never duplicates of each other, with or without IgnoreNulls.
    EXPECT_EQ(AddRow(*rs, {Null{}, Null{}}).Number(), 0);
    EXPECT_EQ(AddRow(*rs, {Null{}, Null{}}).Number(), 0);
    EXPECT_EQ(AddRow(*rs, {int32_t(1), int32_t(1)}).Number(), 0);
    EXPECT_EQ(AddRow(*rs, {int32_t(1), int32_t(2)}).Number(), 3022);
    EXPECT_EQ(AddRow(*rs, {int32_t(2), int32_t(1)}).Number(), 3022);
    EXPECT_EQ(rs->RecordCount(), 3);
}

TEST_F(Engine, RussianCaseInsensitiveComparisonAndOrder) {
    TableDef t = db->CreateTableDef("Words");
    t.Fields = {t.CreateField("W", dbText, 30)};
    t.Indexes = {Index{.Name = "UW", .Fields = {{"W"}}, .Unique = true}};
    db->AppendTableDef(t);
    auto rs = db->OpenRecordset("Words", dbOpenTable);
    for (const char* w : {"жук", "Ёлка", "ель", "Яма", "аист", "Zebra", "apple"})
        EXPECT_EQ(AddRow(*rs, {std::string(w)}).Number(), 0);
    EXPECT_EQ(AddRow(*rs, {std::string("ЖУК")}).Number(), 3022);

    auto q = db->OpenRecordset("SELECT W FROM Words ORDER BY W");
    std::vector<std::string> order;
    for (; !q->IsEOF(); q->MoveNext())
        order.push_back(std::get<std::string>(q->GetValue(0)));
    EXPECT_EQ(order, (std::vector<std::string>{"apple", "Zebra", "аист", "ель", "Ёлка", "жук", "Яма"}));
    auto eq = db->OpenRecordset("SELECT count(*) AS N FROM Words WHERE W = 'ЯМА'");
    EXPECT_EQ(eq->GetValue("N"), Value(int32_t(1)));
}

TEST_F(Engine, SqlCreatedTableIsANormalTable) {
    db->Execute("CREATE TABLE TempCertificateId (Id LONG);");
    db->Execute("CREATE INDEX TempCertificateId_I_Id ON TempCertificateId (Id);");
    db->Execute(
        "INSERT INTO TempCertificateId (Id) VALUES (5); INSERT INTO TempCertificateId (Id) VALUES (6);");
    EXPECT_EQ(db->RecordsAffected(), 2);
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"TempCertificateId"});
    TableDef def = db->GetTableDef("TempCertificateId");
    EXPECT_EQ(def.Fields.at(0).Type, dbLong);
    EXPECT_EQ(def.Indexes.at(0).Name, "TempCertificateId_I_Id");
    auto rs = db->OpenRecordset("TempCertificateId", dbOpenTable);
    EXPECT_EQ(rs->RecordCount(), 2);
    EXPECT_EQ(rs->GetValue("Id"), Value(int32_t(5)));
    EXPECT_EQ(AddRow(*rs, {int32_t(7)}).Number(), 0);
    rs->Close();
    db->Execute("DROP TABLE TempCertificateId;");
    EXPECT_TRUE(db->TableNames().empty());
    EXPECT_EQ(Catch([&] { db->GetTableDef("TempCertificateId"); }).Number(), 3265);
    EXPECT_EQ(Catch([&] { db->OpenRecordset("TempCertificateId", dbOpenTable); }).Number(), 3011);
    EXPECT_EQ(Catch([&] { db->Execute("SELECT 1"); }).Number(), 3065);
}

TEST_F(Engine, AppendDeleteAndRefusedDefinitions) {
    TableDef t = db->CreateTableDef("B");
    t.Fields = {t.CreateField("X", dbLong)};
    db->AppendTableDef(t);
    t.Name = "A";
    db->AppendTableDef(t);
    EXPECT_EQ(db->TableNames(), (std::vector<std::string>{"B", "A"})); // creation order
    EXPECT_EQ(Catch([&] { db->AppendTableDef(t); }).Number(), 3010);
    TableDef empty = db->CreateTableDef("E");
    EXPECT_EQ(Catch([&] { db->AppendTableDef(empty); }).Number(), 3264);
    TableDef badIndex = db->CreateTableDef("I");
    badIndex.Fields = {badIndex.CreateField("X", dbLong)};
    badIndex.Indexes = {Index{.Name = "IX", .Fields = {{"Missing"}}}};
    EXPECT_EQ(Catch([&] { db->AppendTableDef(badIndex); }).Number(), 3265);
    EXPECT_EQ(db->TableNames().size(), 2u); // nothing left over from the refused append
    TableDef hidden = db->CreateTableDef("_k5_fields");
    hidden.Fields = {hidden.CreateField("X", dbLong)};
    EXPECT_EQ(Catch([&] { db->AppendTableDef(hidden); }).Number(), 3125);
    auto onA = db->OpenRecordset("A", dbOpenTable);
    auto onB = db->OpenRecordset("B", dbOpenTable);
    db->DeleteTableDef("b");
    EXPECT_EQ(db->TableNames(), std::vector<std::string>{"A"});
    EXPECT_EQ(onA->RecordCount(), 0); // other tables' recordsets stay usable
    EXPECT_EQ(Catch([&] { onB->RecordCount(); }).Number(), 3420);
    EXPECT_EQ(Catch([&] { db->DeleteTableDef("B"); }).Number(), 3265);
    // A recreated table starts from its new definition.
    TableDef again = db->CreateTableDef("B");
    again.Fields = {again.CreateField("Y", dbText, 10)};
    db->AppendTableDef(again);
    EXPECT_EQ(db->GetTableDef("B").Fields[0].Name, "Y");
}

TEST_F(Engine, SqlRecordsetsBindParametersAndCountExactly) {
    TableDef t = db->CreateTableDef("Docs");
    t.Fields = {t.CreateField("Id", dbLong), t.CreateField("Name", dbText, 20),
                t.CreateField("Sum", dbCurrency)};
    db->AppendTableDef(t);
    db->Execute("INSERT INTO Docs VALUES (1, 'one', 15000), (2, 'two', 25000), (3, 'three''s', 35000)");
    EXPECT_EQ(db->RecordsAffected(), 3);
    // Values are bound, never spliced: a quote in a parameter is just a character.
    auto rs = db->OpenRecordset("SELECT Id, Name, Sum FROM Docs WHERE Name = ? OR Id > ? ORDER BY Id",
                                std::vector<Value>{std::string("THREE's"), int32_t(1)});
    EXPECT_EQ(rs->RecordCount(), 2);
    ASSERT_FALSE(rs->IsEOF());
    EXPECT_EQ(rs->GetValue("id"), Value(int32_t(2)));
    EXPECT_EQ(rs->GetValue("Sum"), Value(Currency{25000}));
    EXPECT_EQ(rs->FieldInfo(2).Type, dbCurrency);
    rs->MoveNext();
    EXPECT_EQ(rs->GetValue("Name"), Value(std::string("three's")));
    rs->MoveNext();
    EXPECT_TRUE(rs->IsEOF());
    EXPECT_EQ(Catch([&] { rs->MoveNext(); }).Number(), 3021);
    EXPECT_EQ(Catch([&] { rs->AddNew(); }).Number(), 3027);
    EXPECT_EQ(
        Catch([&] { db->OpenRecordset("SELECT * FROM Docs WHERE Id = ?", std::vector<Value>{}); }).Number(),
        3061);
    // A table name without a type opens the table itself.
    auto table = db->OpenRecordset("docs");
    EXPECT_EQ(table->RecordCount(), 3);
    EXPECT_EQ(AddRow(*table, {int32_t(4)}).Number(), 0);
    // Closing the database closes its recordsets.
    db->Close();
    EXPECT_EQ(Catch([&] { table->MoveFirst(); }).Number(), 3420);
}
