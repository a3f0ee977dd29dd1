#include "maintenance/OrphanCleanup.h"
#include "Fixtures.h"

#include <sstream>

namespace k5::mtest {

// Every table the statements name: name, columns (all Long, the first the key) and rows (SQL
// literals, apart by blanks) in which each statement finds something to remove or collect.
// Each table's keys lie in a range of their own (the n-th table: n000 to n999), so a statement that
// compares a wrong column cannot find the same rows by chance.
// clang-format off
const char* const kTables[][3] = {
    {"Doc_Registry", "Document_Id Time_ID Template_Id FileContent_ID", "1001,10,20,11100 1002,0,20,NULL 1003,10,NULL,NULL 1004,10,20,NULL"},
    {"Doc_Cell_Values", "Id document_id", "2001,1001 2002,1002 2003,1003 2004,1004 2005,1009"},
    {"DOC_Attachments", "Id DocumentId StoredFileId", "3001,1001,4500 3002,1002,4501 3003,1004,NULL"},
    {"StoredFiles", "Id", "4500 4501 4502"},
    {"AccPerson", "Id PersonId", "5001,17005 5002,0 5003,NULL"},
    {"AccStream", "Id PersonId", "6001,17005 6002,17006 6003,0"},
    {"PfrSubDocs", "Id DocumentId", "7001,1001 7002,1002 7003,1004"},
    {"PfrCellValues", "Id SubDocId", "8001,7001 8002,7002 8003,7003"},
    {"PfrErrors", "Id SubDocId", "9001,7002 9002,7003"},
    {"FssDocCircles", "Id DocumentId DocText_BlobID LastHtml_BlobID Ticket_BlobID", "10001,1001,11200,11201,NULL 10002,1003,11202,NULL,NULL"},
    {"CourBlobs", "Id", "11100 11200 11201 11202 11203 11204 11205 11206 11207 11300"},
    {"CourMessages", "Id MimeContent_Blob_ID", "12001,11203"},
    {"CourMsgParts", "Id ContentBlob_ID", "13001,11204"},
    {"CourSignatures", "Id PublicKey_Blob_ID Signature_Blob_ID", "14001,11205,11206"},
    {"CourCertLinks", "Id Content_Blob_ID", "15001,11207"},
    {"PfrPersons", "Id Person_Id PassportID RegAddressID ActualAddressID", "16001,17005,26900,28700,28701 16002,17007,26901,28702,0"},
    {"Person", "Id Type PersonRealId", "17005,1,20050 17006,2,NULL 17007,1,20051 17008,1,20052"},
    {"Personnel", "Id JobPlaceId WorkerId AuthorityDocID", "18001,17008,0,26902"},
    {"Branches", "Id ParentPersonID ChildPersonID", "19001,0,0"},
    {"NaturalPerson", "Id IdentityDocId AccountantDocId PboulRegCertificateID HomeAddressId AbroadAddressId",
     "20050,26903,0,NULL,27703,0 20051,26905,0,0,27704,0 20052,26904,0,0,0,0"},
    {"LegalPerson", "Id InnRegCertificateID RegAddressID CtrlAddressId", "21001,26908,27707,0"},
    {"Warrants", "Id WorkerId Origin_SubjectID LPrincipal_SubjectID NPrincipal_SubjectID LAgent_SubjectID "
     "NAgent_SubjectID LWitness_SubjectID NWitness_SubjectID", "22001,18001,25060,0,0,0,0,0,0 22002,18099,25061,0,0,0,0,0,0"},
    {"WarPowers", "Id Warrant_Id", "23001,22001 23002,22002"},
    {"WarPermissions", "Id WarPower_Id", "24001,23001 24002,23002 24003,23002"},
    {"WarSubjects", "Id PassportID AddressId", "25060,26906,27705 25061,26907,27706 25062,0,0"},
    {"Certificate", "Id", "26900 26901 26902 26903 26904 26905 26906 26907 26908 26909 26910"},
    {"Address", "Id", "27700 27701 27702 27703 27704 27705 27706 27707 27708 27709 27710"},
    {"PfrAddress", "Id", "28700 28701 28702 28703"},
    {"TextBlobs", "Id AccStreamId", "29001,6001 29002,6003"},
    {"PermBlocks", "ID BlockType PermObjectID AreaType", "30001,5,6001,2 30002,5,6003,2 30003,5,0,2 30004,1,6099,2 30005,5,0,2"},
    {"PermObjectLists", "Id BlockID PermObjectID", "31001,30001,6001 31002,30001,6077 31003,30003,6002 31004,30004,6077 31005,30003,6088"},
};
// clang-format on

struct OrphanCleanupTest : ContextFixture {
    std::string file = Path("Korund5_Prophylaxis.mdb");
    std::unique_ptr<db::Database> d;

    void SetUp() override {
        d = Create("Korund5_Prophylaxis.mdb");
        for (const auto& t : kTables) {
            std::istringstream words(t[1]);
            std::vector<Col> cols;
            for (std::string column; words >> column;)
                cols.push_back({column});
            AddTable(*d, t[0], cols, {cols.front().name});
        }
    }
    void Run() {
        d->Close();
        d.reset();
        DeletingUnnecessaryRecords(ctx, file);
    }
};

std::string Removed(const std::string& table, int before, int removed) {
    return std::string(kStamp) + "Удаление лишних записей из таблицы " + table +
           " (записей: " + std::to_string(before) +
           ") завершено (удалено записей: " + std::to_string(removed) +
           ", осталось записей: " + std::to_string(before - removed) + ").\r\n";
}
// The five entries of a clean-up through a temporary id table.
std::string ThroughTemp(const std::string& temp, const std::string& table, int before, int removed) {
    std::string out;
    for (const std::string& step : {"Создание таблицы " + temp, "Создание индекса " + temp + "_I_Id",
                                    "Наполнение данными таблицы " + temp})
        out += std::string(kStamp) + step + " завершено успешно.\r\n";
    return out + Removed(table, before, removed) + kStamp + "Удаление временной таблицы " + temp +
           " завершено успешно.\r\n";
}

// Every statement of the list on the tables it names. Statement 1 removes documents 1002 (no
// period) and 1003 (no template); the rows that statements 2, 3, 7 and 10 remove are theirs.
TEST_F(OrphanCleanupTest, WholeListInOrderWithTheEffectOfStatementOne) {
    for (const auto& t : kTables) {
        std::istringstream rows(t[2]);
        for (std::string row; rows >> row;)
            d->Execute(std::string("INSERT INTO ") + t[0] + " VALUES (" + row + ")");
    }
    Run();
    EXPECT_EQ(Pane(),
              "Удаление лишних записей из таблиц:\r\n" + Removed("Doc_Registry", 4, 2) +
                  Removed("Doc_Cell_Values", 5, 3) + Removed("DOC_Attachments", 3, 1) +
                  Removed("StoredFiles", 3, 2) + Removed("AccPerson", 3, 2) + Removed("AccStream", 3, 1) +
                  Removed("PfrSubDocs", 3, 1) + Removed("PfrCellValues", 3, 1) + Removed("PfrErrors", 2, 1) +
                  Removed("FssDocCircles", 2, 1) + Removed("CourBlobs", 10, 2) + Removed("PfrPersons", 2, 1) +
                  Removed("Person", 4, 1) + Removed("NaturalPerson", 3, 1) + Removed("Warrants", 2, 1) +
                  Removed("WarPowers", 2, 1) + Removed("WarPermissions", 3, 2) +
                  Removed("WarSubjects", 3, 2) + ThroughTemp("TempCertificateId", "Certificate", 11, 5) +
                  Removed("Address", 11, 8) + ThroughTemp("TempPfrAddressId", "PfrAddress", 4, 2) +
                  Removed("TextBlobs", 2, 1) + Removed("PermBlocks", 5, 1) +
                  Removed("PermObjectLists", 5, 2) + Removed("PermBlocks", 4, 1) + "\r\n");
    EXPECT_FALSE(state.mProphylaxisOk);
    auto out = ctx.engine.OpenDatabase(file, true, true);
    EXPECT_EQ(Column(*out, "Doc_Cell_Values", "Id"), Longs({2001, 2004}));
    EXPECT_EQ(Column(*out, "Certificate", "Id"), Longs({26900, 26902, 26903, 26904, 26906, 26908}));
    out.reset();

    // A second pass finds nothing left: only plain lines, the run's flag untouched.
    state.mProphylaxisOk = true;
    log.ClearPane();
    DeletingUnnecessaryRecords(ctx, file);
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_TRUE(Shows("таблицы Doc_Registry (записей: 2) завершено успешно (удалено записей: 0).\r\n"));
    EXPECT_FALSE(Has("осталось"));
}

TEST_F(OrphanCleanupTest, LineWithGroupedCountsColouredAndAFileHeldElsewhere) {
    std::vector<std::vector<Value>> cells;
    for (int32_t i = 1; i <= 12345; ++i)
        cells.push_back({i, i % 1000 == 0 && i <= 3000 ? 777 : 1});
    AddRows(*d, "Doc_Registry", {{1, 1, 1, 0}});
    AddRows(*d, "Doc_Cell_Values", cells);
    Run();
    EXPECT_TRUE(Shows(std::string(kStamp) +
                      "Удаление лишних записей из таблицы Doc_Cell_Values (записей: 12 345) завершено "
                      "(удалено записей: 3, осталось записей: 12 342).\r\n"));
    // The closing half is dark red and bold; a line without orphans is black.
    const auto &removed = RunWith("завершено (удалено записей: 3"), &kept = RunWith("(удалено записей: 0)");
    EXPECT_TRUE(removed.colour == kColourDarkRed && removed.bold);
    EXPECT_TRUE(kept.colour == kColourBlack && !kept.bold);

    // Held by another process, the file runs no statement.
    log.ClearPane();
    db::test::Holder holder(file, true, false);
    ASSERT_TRUE(holder.Opened());
    EXPECT_THAT(ErrorOf([&] { DeletingUnnecessaryRecords(ctx, file); }),
                AllOf(HasSubstr("ProphylaxisFrm.DeletingUnnecessaryRecords"),
                      HasSubstr("ProphylaxisFrm.SQLProcessor")));
    EXPECT_EQ(Pane(), "Удаление лишних записей из таблиц:\r\n");
}

} // namespace k5::mtest
