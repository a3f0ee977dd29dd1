#include "maintenance/OrphanCleanup.h"
#include "Fixtures.h"

#include <sstream>

namespace k5::mtest {

// Every table the statements name: name, columns (all Long, the first the key) and rows (SQL
// literals, apart by blanks) in which each statement finds something to remove or collect.
// clang-format off
const char* const kTables[][3] = {
    {"Doc_Registry", "Document_Id Time_ID Template_Id FileContent_ID", "1,10,20,100 2,0,20,NULL 3,10,NULL,NULL 4,10,20,NULL"},
    {"Doc_Cell_Values", "Id document_id", "1,1 2,2 3,3 4,4 5,9"},
    {"DOC_Attachments", "Id DocumentId StoredFileId", "1,1,500 2,2,501 3,4,NULL"},
    {"StoredFiles", "Id", "500 501 502"},
    {"AccPerson", "Id PersonId", "1,5 2,0 3,NULL"},
    {"AccStream", "Id PersonId", "1,5 2,6 3,0"},
    {"PfrSubDocs", "Id DocumentId", "1,1 2,2 3,4"},
    {"PfrCellValues", "Id SubDocId", "1,1 2,2 3,3"},
    {"PfrErrors", "Id SubDocId", "1,2 2,3"},
    {"FssDocCircles", "Id DocumentId DocText_BlobID LastHtml_BlobID Ticket_BlobID", "1,1,200,201,NULL 2,3,202,NULL,NULL"},
    {"CourBlobs", "Id", "100 200 201 202 203 204 205 206 207 300"},
    {"CourMessages", "Id MimeContent_Blob_ID", "1,203"},
    {"CourMsgParts", "Id ContentBlob_ID", "1,204"},
    {"CourSignatures", "Id PublicKey_Blob_ID Signature_Blob_ID", "1,205,206"},
    {"CourCertLinks", "Id Content_Blob_ID", "1,207"},
    {"PfrPersons", "Id Person_Id PassportID RegAddressID ActualAddressID", "1,5,900,700,701 2,7,901,702,0"},
    {"Person", "Id Type PersonRealId", "5,1,50 6,2,NULL 7,1,51 8,1,52"},
    {"Personnel", "Id JobPlaceId WorkerId AuthorityDocID", "1,8,0,902"},
    {"Branches", "Id ParentPersonID ChildPersonID", "1,0,0"},
    {"NaturalPerson", "Id IdentityDocId AccountantDocId PboulRegCertificateID HomeAddressId AbroadAddressId",
     "50,903,0,NULL,703,0 51,905,0,0,704,0 52,904,0,0,0,0"},
    {"LegalPerson", "Id InnRegCertificateID RegAddressID CtrlAddressId", "1,908,707,0"},
    {"Warrants", "Id WorkerId Origin_SubjectID LPrincipal_SubjectID NPrincipal_SubjectID LAgent_SubjectID "
     "NAgent_SubjectID LWitness_SubjectID NWitness_SubjectID", "1,1,60,0,0,0,0,0,0 2,99,61,0,0,0,0,0,0"},
    {"WarPowers", "Id Warrant_Id", "1,1 2,2"},
    {"WarPermissions", "Id WarPower_Id", "1,1 2,2 3,2"},
    {"WarSubjects", "Id PassportID AddressId", "60,906,705 61,907,706 62,0,0"},
    {"Certificate", "Id", "900 901 902 903 904 905 906 907 908 909 910"},
    {"Address", "Id", "700 701 702 703 704 705 706 707 708 709 710"},
    {"PfrAddress", "Id", "700 701 702 703"},
    {"TextBlobs", "Id AccStreamId", "1,1 2,3"},
    {"PermBlocks", "ID BlockType PermObjectID AreaType", "1,5,1,2 2,5,3,2 3,5,0,2 4,1,99,2 5,5,0,2"},
    {"PermObjectLists", "Id BlockID PermObjectID", "1,1,1 2,1,77 3,3,2 4,4,77 5,3,88"},
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

// Every statement of the list on the tables it names. Statement 1 removes documents 2 (no
// period) and 3 (no template); the rows that statements 2, 3, 7 and 10 remove are theirs.
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
    EXPECT_EQ(Column(*out, "Doc_Cell_Values", "Id"), Longs({1, 4}));
    EXPECT_EQ(Column(*out, "Certificate", "Id"), Longs({900, 902, 903, 904, 906, 908}));
    out.reset();

    // A second pass finds nothing left: only plain lines, the run's flag untouched.
    state.mProphylaxisOk = true;
    log.Pane().Clear();
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
    log.Pane().Clear();
    db::test::Holder holder(file, true, false);
    ASSERT_TRUE(holder.Opened());
    EXPECT_THAT(ErrorOf([&] { DeletingUnnecessaryRecords(ctx, file); }),
                AllOf(HasSubstr("ProphylaxisFrm.DeletingUnnecessaryRecords"),
                      HasSubstr("ProphylaxisFrm.SQLProcessor")));
    EXPECT_EQ(Pane(), "Удаление лишних записей из таблиц:\r\n");
}

} // namespace k5::mtest
