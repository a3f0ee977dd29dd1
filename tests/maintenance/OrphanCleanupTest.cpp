#include "maintenance/OrphanCleanup.h"
#include "Fixtures.h"

#include <algorithm>
#include <map>
#include <sstream>

using namespace k5;
using namespace k5::mtest;

namespace {

// Every table and column that the clean-up statements name (all ids are Long; the first is
// the key), one table per ";".
const char* const kSchema =
    "Doc_Registry Document_Id Time_ID Template_Id FileContent_ID;Doc_Cell_Values Id document_id;"
    "DOC_Attachments Id DocumentId StoredFileId;StoredFiles Id;AccPerson Id PersonId;"
    "AccStream Id PersonId;PfrSubDocs Id DocumentId;PfrCellValues Id SubDocId;PfrErrors Id SubDocId;"
    "FssDocCircles Id DocumentId DocText_BlobID LastHtml_BlobID Ticket_BlobID;CourBlobs Id;"
    "CourMessages Id MimeContent_Blob_ID;CourMsgParts Id ContentBlob_ID;"
    "CourSignatures Id PublicKey_Blob_ID Signature_Blob_ID;CourCertLinks Id Content_Blob_ID;"
    "PfrPersons Id Person_Id PassportID RegAddressID ActualAddressID;Person Id Type PersonRealId;"
    "Personnel Id JobPlaceId WorkerId AuthorityDocID;Branches Id ParentPersonID ChildPersonID;"
    "NaturalPerson Id IdentityDocId AccountantDocId PboulRegCertificateID HomeAddressId AbroadAddressId;"
    "LegalPerson Id InnRegCertificateID RegAddressID CtrlAddressId;"
    "Warrants Id WorkerId Origin_SubjectID LPrincipal_SubjectID NPrincipal_SubjectID LAgent_SubjectID "
    "NAgent_SubjectID LWitness_SubjectID NWitness_SubjectID;"
    "WarPowers Id Warrant_Id;WarPermissions Id WarPower_Id;WarSubjects Id PassportID AddressId;"
    "Certificate Id;Address Id;PfrAddress Id;TextBlobs Id AccStreamId;"
    "PermBlocks ID BlockType PermObjectID AreaType;PermObjectLists Id BlockID PermObjectID;";

struct OrphanCleanupTest : ContextFixture {
    std::string file = Path("Korund5_Prophylaxis.mdb");
    std::unique_ptr<db::Database> d;

    void SetUp() override {
        d = Create("Korund5_Prophylaxis.mdb");
        std::istringstream tables(kSchema);
        for (std::string line; std::getline(tables, line, ';');) {
            std::istringstream words(line);
            std::string table, column;
            std::vector<Col> cols;
            for (words >> table; words >> column;)
                cols.push_back({column});
            AddTable(*d, table, cols, {cols.front().name});
        }
    }
    void Run() {
        d->Close();
        d.reset();
        DeletingUnnecessaryRecords(ctx, file);
    }
};

std::string Kept(const std::string& table, int before) {
    return std::string(kStamp) + "Удаление лишних записей из таблицы " + table +
           " (записей: " + std::to_string(before) + ") завершено успешно (удалено записей: 0).\r\n";
}
std::string Removed(const std::string& table, int before, int removed) {
    return std::string(kStamp) + "Удаление лишних записей из таблицы " + table +
           " (записей: " + std::to_string(before) +
           ") завершено (удалено записей: " + std::to_string(removed) +
           ", осталось записей: " + std::to_string(before - removed) + ").\r\n";
}
std::string Step(const std::string& text) {
    return std::string(kStamp) + text + " завершено успешно.\r\n";
}

TEST_F(OrphanCleanupTest, WholeListInOrderWithTheEffectOfStatementOne) {
    // Document 3 has no template: statement 1 removes it, and its children become orphans
    // for the statements after it.
    AddRows(*d, "Doc_Registry", {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 0, 0}, {4, 1, 1, 0}});
    AddRows(*d, "Doc_Cell_Values", {{1, 1}, {2, 3}, {3, 3}, {4, 2}, {5, 99}});
    AddRows(*d, "DOC_Attachments", {{1, 3, 10}, {2, 1, 11}});
    AddRows(*d, "StoredFiles", {{10}, {11}, {12}});
    AddRows(*d, "PfrSubDocs", {{1, 1}, {2, 3}});
    AddRows(*d, "PfrCellValues", {{1, 1}, {2, 2}});
    AddRows(*d, "PfrErrors", {{1, 2}});
    AddRows(*d, "FssDocCircles", {{1, 3, 50, 0, 0}, {2, 4, 51, 0, 0}});
    AddRows(*d, "CourBlobs", {{50}, {51}, {52}});
    // A kept chain: stream -> person -> natural person -> certificate; PFR person -> address.
    AddRows(*d, "AccStream", {{1, 5}});
    AddRows(*d, "Person", {{5, 1, 7}});
    AddRows(*d, "NaturalPerson", {{7, 1, 0, 0, 0, 0}});
    AddRows(*d, "PfrPersons", {{1, 5, 2, 20, 0}});
    AddRows(*d, "Certificate", {{1}, {2}, {3}});
    AddRows(*d, "PfrAddress", {{20}, {21}});
    Run();

    const std::string expected =
        "Удаление лишних записей из таблиц:\r\n" + Removed("Doc_Registry", 4, 1) +
        Removed("Doc_Cell_Values", 5, 3) + Removed("DOC_Attachments", 2, 1) + Removed("StoredFiles", 3, 2) +
        Kept("AccPerson", 0) + Kept("AccStream", 1) + Removed("PfrSubDocs", 2, 1) +
        Removed("PfrCellValues", 2, 1) + Removed("PfrErrors", 1, 1) + Removed("FssDocCircles", 2, 1) +
        Removed("CourBlobs", 3, 2) + Kept("PfrPersons", 1) + Kept("Person", 1) + Kept("NaturalPerson", 1) +
        Kept("Warrants", 0) + Kept("WarPowers", 0) + Kept("WarPermissions", 0) + Kept("WarSubjects", 0) +
        Step("Создание таблицы TempCertificateId") + Step("Создание индекса TempCertificateId_I_Id") +
        Step("Наполнение данными таблицы TempCertificateId") + Removed("Certificate", 3, 1) +
        Step("Удаление временной таблицы TempCertificateId") + Kept("Address", 0) +
        Step("Создание таблицы TempPfrAddressId") + Step("Создание индекса TempPfrAddressId_I_Id") +
        Step("Наполнение данными таблицы TempPfrAddressId") + Removed("PfrAddress", 2, 1) +
        Step("Удаление временной таблицы TempPfrAddressId") + Kept("TextBlobs", 0) + Kept("PermBlocks", 0) +
        Kept("PermObjectLists", 0) + Kept("PermBlocks", 0) + "\r\n";
    EXPECT_EQ(Pane(), expected);
    EXPECT_FALSE(state.mProphylaxisOk);

    auto out = ctx.engine.OpenDatabase(file, true, true);
    EXPECT_EQ(Column(*out, "Doc_Cell_Values", "Id"), Longs({1, 4}));
    EXPECT_EQ(Column(*out, "StoredFiles", "Id"), Longs({11}));
    EXPECT_EQ(Column(*out, "CourBlobs", "Id"), Longs({51}));
    EXPECT_EQ(Column(*out, "Certificate", "Id"), Longs({1, 2}));
    // The temporary tables are gone again.
    const auto names = out->TableNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "TempCertificateId"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "TempPfrAddressId"), 0);
    out.reset();

    // A second pass finds nothing left: only plain lines, the run's flag untouched.
    state.mProphylaxisOk = true;
    log.Pane().Clear();
    DeletingUnnecessaryRecords(ctx, file);
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_EQ(Pane().find("осталось"), std::string::npos);
}

TEST_F(OrphanCleanupTest, LineWithGroupedCountsColouredAndBold) {
    std::vector<std::vector<Value>> docs, cells;
    for (int32_t i = 1; i <= 50; ++i)
        docs.push_back({i, 1, 1, 0});
    for (int32_t i = 1; i <= 12345; ++i)
        cells.push_back({i, i % 1000 == 0 && i <= 3000 ? 777 : i % 50 + 1});
    AddRows(*d, "Doc_Registry", docs);
    AddRows(*d, "Doc_Cell_Values", cells);
    Run();
    const std::string line = std::string(kStamp) +
                             "Удаление лишних записей из таблицы Doc_Cell_Values (записей: 12 345) завершено "
                             "(удалено записей: 3, осталось записей: 12 342).\r\n";
    EXPECT_TRUE(Has(line)) << Pane();
    // The closing half is dark red and bold; a line without orphans is black.
    const auto *removed = RunWith("завершено (удалено записей: 3"), *kept = RunWith("(удалено записей: 0)");
    ASSERT_TRUE(removed && kept);
    EXPECT_EQ(removed->colour, kColourDarkRed);
    EXPECT_TRUE(removed->bold);
    EXPECT_EQ(kept->colour, kColourBlack);
    EXPECT_FALSE(kept->bold);
}

TEST_F(OrphanCleanupTest, FileHeldByAnotherProcessRunsNoStatement) {
    AddRows(*d, "Doc_Registry", {{1, 0, 0, 0}});
    d->Close();
    d.reset();
    HeldByOtherProcess holder(file);
    ASSERT_TRUE(holder.Held());
    try {
        DeletingUnnecessaryRecords(ctx, file);
        FAIL() << "the clean-up must fail";
    } catch (const K5Error& e) {
        const std::string& text = e.Description();
        EXPECT_NE(text.find("ProphylaxisFrm.DeletingUnnecessaryRecords"), std::string::npos) << text;
        EXPECT_NE(text.find("ProphylaxisFrm.SQLProcessor"), std::string::npos) << text;
    }
    EXPECT_EQ(Pane(), "Удаление лишних записей из таблиц:\r\n");
}

TEST_F(OrphanCleanupTest, UnknownTextsArePassedOverAndAFailureStopsTheList) {
    AddRows(*d, "Doc_Registry", {{1, 0, 0, 0}, {2, 1, 1, 0}});
    d->Close();
    d.reset();
    SQLProcessor(ctx, file,
                 {"SELECT 1;", "delete from Doc_Registry;", "DELETE FROM Doc_Registry WHERE Time_ID = 0;"});
    EXPECT_EQ(Pane(), Removed("Doc_Registry", 2, 1));

    log.Pane().Clear();
    EXPECT_THROW(
        SQLProcessor(ctx, file, {"DELETE FROM Doc_Registry WHERE Nonsense(;", "DROP TABLE StoredFiles;"}),
        K5Error);
    // The begun line stays open and the statement after the failure did not run.
    EXPECT_EQ(Pane(),
              std::string(kStamp) + "Удаление лишних записей из таблицы Doc_Registry (записей: 1) ...");
    auto out = ctx.engine.OpenDatabase(file, true, true);
    EXPECT_EQ(Count(*out, "StoredFiles"), 0);
}

TEST(OrphanStatementsTest, KindsNamesAndLineJoins) {
    std::istringstream names(
        "Doc_Registry Doc_Cell_Values DOC_Attachments StoredFiles AccPerson AccStream PfrSubDocs "
        "PfrCellValues "
        "PfrErrors FssDocCircles CourBlobs PfrPersons Person NaturalPerson Warrants WarPowers WarPermissions "
        "WarSubjects TempCertificateId TempCertificateId_I_Id TempCertificateId Certificate "
        "TempCertificateId "
        "Address TempPfrAddressId TempPfrAddressId_I_Id TempPfrAddressId PfrAddress TempPfrAddressId "
        "TextBlobs "
        "PermBlocks PermObjectLists PermBlocks");
    const std::vector<int> lines = {1,  7, 7, 7,  1, 1, 8,  8, 8, 8, 25, 7, 25, 12, 7,  7, 7,
                                    25, 1, 1, 16, 5, 1, 21, 1, 1, 6, 5,  1, 7,  7,  13, 5};
    const std::map<int, SqlKind> otherKinds = {{19, SqlKind::CreateTable}, {20, SqlKind::CreateIndex},
                                               {21, SqlKind::InsertInto},  {23, SqlKind::DropTable},
                                               {25, SqlKind::CreateTable}, {26, SqlKind::CreateIndex},
                                               {27, SqlKind::InsertInto},  {29, SqlKind::DropTable}};
    const std::vector<std::string> statements = OrphanCleanupStatements();
    ASSERT_EQ(statements.size(), 33u);
    for (int i = 1; i <= 33; ++i) {
        const std::string& s = statements[i - 1];
        SCOPED_TRACE(i);
        std::string name;
        names >> name;
        auto info = ClassifyStatement(s);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->name, name);
        EXPECT_EQ(info->kind, otherKinds.contains(i) ? otherKinds.at(i) : SqlKind::DeleteFrom);
        const auto lf = std::count(s.begin(), s.end(), '\n');
        size_t crlf = 0;
        for (size_t p = s.find("\r\n"); p != std::string::npos; p = s.find("\r\n", p + 2))
            ++crlf;
        EXPECT_EQ(crlf, static_cast<size_t>(lf)); // no bare line feeds
        EXPECT_EQ(static_cast<int>(crlf) + 1, lines[i - 1]);
        EXPECT_NE(s.back(), '\n');
    }
}

TEST(OrphanStatementsTest, ClassifyEdgeCases) {
    EXPECT_FALSE(ClassifyStatement("delete from T where 1;").has_value()); // case-sensitive
    EXPECT_FALSE(ClassifyStatement("SELECT 1;").has_value());
    EXPECT_FALSE(ClassifyStatement("").has_value());
    EXPECT_EQ(ClassifyStatement("DROP TABLE X;")->name, "X");
    EXPECT_EQ(ClassifyStatement("DROP TABLE X;")->kind, SqlKind::DropTable);
    EXPECT_EQ(ClassifyStatement("INSERT INTO T (Id) VALUES (1);")->name, "T");
    // A name that cannot be cut out of the text is a failure.
    EXPECT_THROW(ClassifyStatement("DELETE FROM T;"), K5Error);
    EXPECT_THROW(ClassifyStatement("DROP TABLE"), K5Error);
}

} // namespace
