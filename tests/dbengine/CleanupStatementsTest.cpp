// The clean-up statements run unchanged through the engine and remove what they should.
#include "EngineTestUtil.h"

// The very list the maintenance sends, compiled in here: this program does not link the
// maintenance library, and the statements are one self-contained function.
#include "maintenance/OrphanStatements.cpp"

#include <sstream>

using namespace k5;
using namespace k5::db;
using namespace k5::db::test;

namespace {

struct TableData {
    const char* name;
    std::vector<const char*> columns;
    std::vector<std::vector<const char*>> rows; // SQL literals
};

// Tables named by the statements, with the columns they use and rows that make some orphans.
const std::vector<TableData>& Data() {
    static const std::vector<TableData> data = {
        {"Doc_Registry",
         {"Document_Id", "Time_ID", "Template_Id", "FileContent_ID"},
         {{"1", "10", "20", "100"},
          {"2", "0", "20", "NULL"},
          {"3", "10", "NULL", "NULL"},
          {"4", "10", "20", "NULL"}}},
        {"Doc_Cell_Values",
         {"Id", "document_id"},
         {{"1", "1"}, {"2", "2"}, {"3", "3"}, {"4", "4"}, {"5", "9"}}},
        {"DOC_Attachments",
         {"Id", "DocumentId", "StoredFileId"},
         {{"1", "1", "500"}, {"2", "2", "501"}, {"3", "4", "NULL"}}},
        {"StoredFiles", {"Id"}, {{"500"}, {"501"}, {"502"}}},
        {"AccPerson", {"Id", "PersonId"}, {{"1", "5"}, {"2", "0"}, {"3", "NULL"}}},
        {"AccStream", {"Id", "PersonId"}, {{"1", "5"}, {"2", "6"}, {"3", "0"}}},
        {"PfrSubDocs", {"Id", "DocumentId"}, {{"1", "1"}, {"2", "2"}, {"3", "4"}}},
        {"PfrCellValues", {"Id", "SubDocId"}, {{"1", "1"}, {"2", "2"}, {"3", "3"}}},
        {"PfrErrors", {"Id", "SubDocId"}, {{"1", "2"}, {"2", "3"}}},
        {"FssDocCircles",
         {"Id", "DocumentId", "DocText_BlobID", "LastHtml_BlobID", "Ticket_BlobID"},
         {{"1", "1", "200", "201", "NULL"}, {"2", "3", "202", "NULL", "NULL"}}},
        {"CourBlobs",
         {"Id"},
         {{"100"}, {"200"}, {"201"}, {"202"}, {"203"}, {"204"}, {"205"}, {"206"}, {"207"}, {"300"}}},
        {"CourMessages", {"Id", "MimeContent_Blob_ID"}, {{"1", "203"}}},
        {"CourMsgParts", {"Id", "ContentBlob_ID"}, {{"1", "204"}}},
        {"CourSignatures", {"Id", "PublicKey_Blob_ID", "Signature_Blob_ID"}, {{"1", "205", "206"}}},
        {"CourCertLinks", {"Id", "Content_Blob_ID"}, {{"1", "207"}}},
        {"PfrPersons",
         {"Id", "Person_Id", "PassportID", "RegAddressID", "ActualAddressID"},
         {{"1", "5", "900", "700", "701"}, {"2", "7", "901", "702", "0"}}},
        {"Person",
         {"Id", "Type", "PersonRealId"},
         {{"5", "1", "50"}, {"6", "2", "NULL"}, {"7", "1", "51"}, {"8", "1", "52"}}},
        {"Personnel", {"Id", "JobPlaceId", "WorkerId", "AuthorityDocID"}, {{"1", "8", "0", "902"}}},
        {"Branches", {"Id", "ParentPersonID", "ChildPersonID"}, {{"1", "0", "0"}}},
        {"NaturalPerson",
         {"Id", "IdentityDocId", "AccountantDocId", "PboulRegCertificateID", "HomeAddressId",
          "AbroadAddressId"},
         {{"50", "903", "0", "NULL", "703", "0"},
          {"51", "905", "0", "0", "704", "0"},
          {"52", "904", "0", "0", "0", "0"}}},
        {"LegalPerson",
         {"Id", "InnRegCertificateID", "RegAddressID", "CtrlAddressId"},
         {{"1", "908", "707", "0"}}},
        {"Warrants",
         {"Id", "WorkerId", "Origin_SubjectID", "LPrincipal_SubjectID", "NPrincipal_SubjectID",
          "LAgent_SubjectID", "NAgent_SubjectID", "LWitness_SubjectID", "NWitness_SubjectID"},
         {{"1", "1", "60", "0", "0", "0", "0", "0", "0"}, {"2", "99", "61", "0", "0", "0", "0", "0", "0"}}},
        {"WarPowers", {"Id", "Warrant_Id"}, {{"1", "1"}, {"2", "2"}}},
        {"WarPermissions", {"Id", "WarPower_Id"}, {{"1", "1"}, {"2", "2"}, {"3", "2"}}},
        {"WarSubjects",
         {"Id", "PassportID", "AddressId"},
         {{"60", "906", "705"}, {"61", "907", "706"}, {"62", "0", "0"}}},
        {"Certificate",
         {"Id"},
         {{"900"}, {"901"}, {"902"}, {"903"}, {"904"}, {"905"}, {"906"}, {"907"}, {"908"}, {"909"}, {"910"}}},
        {"Address",
         {"Id"},
         {{"700"}, {"701"}, {"702"}, {"703"}, {"704"}, {"705"}, {"706"}, {"707"}, {"708"}, {"709"}, {"710"}}},
        {"PfrAddress", {"Id"}, {{"700"}, {"701"}, {"702"}, {"703"}}},
        {"TextBlobs", {"Id", "AccStreamId"}, {{"1", "1"}, {"2", "3"}}},
        {"PermBlocks",
         {"ID", "BlockType", "PermObjectID", "AreaType"},
         {{"1", "5", "1", "2"},
          {"2", "5", "3", "2"},
          {"3", "5", "0", "2"},
          {"4", "1", "99", "2"},
          {"5", "5", "0", "2"}}},
        {"PermObjectLists",
         {"Id", "BlockID", "PermObjectID"},
         {{"1", "1", "1"}, {"2", "1", "77"}, {"3", "3", "2"}, {"4", "4", "77"}, {"5", "3", "88"}}},
    };
    return data;
}

// The name a statement acts on: the word after its leading words.
std::string TargetName(const std::string& sql) {
    std::istringstream in(sql);
    std::string a, b, name;
    in >> a >> b >> name;
    return name;
}

} // namespace

TEST(EngineCleanup, TheStatementsRunUnchangedWithTheExpectedCounts) {
    ScratchDir dir;
    const std::string path = dir.File("clean.mdb");
    {
        auto db = NewDb(path);
        for (const auto& t : Data()) {
            TableDef def = db->CreateTableDef(t.name);
            for (const char* c : t.columns)
                def.Fields.push_back(def.CreateField(c, dbLong));
            db->AppendTableDef(def);
            for (const auto& row : t.rows) {
                std::string values;
                for (const char* v : row)
                    values += (values.empty() ? "" : ", ") + std::string(v);
                db->Execute(std::string("INSERT INTO ") + t.name + " VALUES (" + values + ")");
            }
        }
        db->Close();
    }
    // Rows removed (DELETE) or added (INSERT) per statement, in list order; -1: not a row statement.
    const std::vector<int64_t> expected = {2, 3,  1,  2, 2, 1,  1, 1,  1,  1, 2, 1,  1, 1, 1, 1, 2,
                                           2, -1, -1, 6, 5, -1, 8, -1, -1, 2, 2, -1, 1, 1, 2, 1};
    const auto statements = OrphanCleanupStatements();
    ASSERT_EQ(statements.size(), 33u);
    for (size_t i = 0; i < statements.size(); ++i) {
        const std::string& sql = statements[i];
        SCOPED_TRACE("statement " + std::to_string(i + 1));
        // Every statement opens the file afresh, as the clean-up does.
        auto db = OpenDb(path, true, false);
        const bool isDelete = sql.rfind("DELETE FROM", 0) == 0;
        int64_t before = 0;
        if (isDelete) before = db->OpenRecordset(TargetName(sql), dbOpenTable)->RecordCount();
        ASSERT_NO_THROW(db->Execute(sql));
        if (expected[i] >= 0) {
            EXPECT_EQ(db->RecordsAffected(), expected[i]);
        }
        if (isDelete) {
            EXPECT_EQ(before - db->OpenRecordset(TargetName(sql), dbOpenTable)->RecordCount(), expected[i]);
        }
        if (sql.rfind("CREATE TABLE", 0) == 0) {
            EXPECT_EQ(db->GetTableDef(TargetName(sql)).Fields.at(0).Type, dbLong);
        }
        db->Close();
    }
    auto db = OpenDb(path, true, true);
    for (const auto& name : db->TableNames())
        EXPECT_EQ(name.rfind("Temp", 0), std::string::npos) << name;
    // Spot checks of what is left.
    auto left = db->OpenRecordset("SELECT Id FROM Certificate ORDER BY Id");
    std::vector<int32_t> ids;
    for (; !left->IsEOF(); left->MoveNext())
        ids.push_back(std::get<int32_t>(left->GetValue(0)));
    EXPECT_EQ(ids, (std::vector<int32_t>{900, 902, 903, 904, 906, 908}));
    EXPECT_EQ(db->OpenRecordset("PermBlocks", dbOpenTable)->RecordCount(), 3);
}
