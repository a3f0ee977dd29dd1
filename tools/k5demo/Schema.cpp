#include "Schema.h"

#include <stdexcept>
#include <strings.h>

namespace k5demo {
namespace {

using namespace k5::db;

ColumnSpec Lng(const char* name, bool required = false) {
    return {name, dbLong, 4, required, false, "", false};
}
ColumnSpec Int(const char* name, const char* def = "") {
    return {name, dbInteger, 2, false, false, def, false};
}
ColumnSpec Byt(const char* name, const char* def = "") {
    return {name, dbByte, 1, false, false, def, false};
}
ColumnSpec Bool(const char* name) {
    return {name, dbBoolean, 1, false, false, "", false};
}
ColumnSpec Cur(const char* name) {
    return {name, dbCurrency, 8, false, false, "0", false};
}
ColumnSpec Dt(const char* name) {
    return {name, dbDate, 8, false, false, "", false};
}
ColumnSpec Txt(const char* name, int size, bool required = false, bool zeroLength = false,
               const char* def = "") {
    return {name, dbText, size, required, zeroLength, def, false};
}
ColumnSpec Memo(const char* name) {
    return {name, dbMemo, 0, false, true, "", false};
}
ColumnSpec Bin(const char* name) {
    return {name, dbLongBinary, 0, false, false, "", false};
}
ColumnSpec Key(const char* name = "Id") {
    return Lng(name, true);
}
IndexSpec Pk(const char* field = "Id") {
    return {"PrimaryKey", {field}, true, true, false};
}
IndexSpec Ix(const char* name, std::vector<std::string> fields) {
    return {name, std::move(fields), false, false, false};
}

std::vector<TableSpec> MakeTables() {
    std::vector<TableSpec> t;
    auto add = [&t](const char* name, int listType, std::vector<ColumnSpec> cols,
                    std::vector<IndexSpec> idx) {
        t.push_back(TableSpec{name, listType, true, true, std::move(cols), std::move(idx)});
    };

    add("DBVersion", 0, {Lng("MajorVersion", true), Lng("MinorVersion", true), Lng("BuildNumber", true)}, {});
    add("TimePeriods", 0,
        {Key(), Int("PeriodYear"), Txt("PeriodCode", 2, true), Txt("Name", 50, true), Dt("DateBegin"),
         Dt("DateEnd")},
        {Pk(), Ix("TimePeriods_Year", {"PeriodYear", "PeriodCode"})});
    add("DocTemplates", 0,
        {Key(), Txt("FormCode", 20, true), Txt("Name", 255, true), Int("Kind", "1"),
         Txt("FormVersion", 10, false, true)},
        {Pk(), Ix("DocTemplates_FormCode", {"FormCode"})});
    add("Certificate", 1,
        {Key(), Int("DocType", "21"), Txt("Series", 10, false, true), Txt("Number", 20, true),
         Dt("IssueDate"), Txt("IssuedBy", 255, false, true), Txt("DivisionCode", 7, false, true)},
        {Pk(), Ix("Certificate_Number", {"Series", "Number"})});
    add("Address", 1,
        {Key(), Txt("PostIndex", 6), Txt("Region", 100), Txt("City", 100), Txt("Street", 100),
         Txt("House", 20), Txt("Flat", 10, false, true), Txt("FullAddress", 255, false, true)},
        {Pk(), Ix("Address_City", {"City", "Street"})});
    add("PfrAddress", 1, {Key(), Txt("PostIndex", 6), Txt("RegionCode", 2), Txt("FullAddress", 255, true)},
        {Pk()});
    add("NaturalPerson", 1,
        {Key(), Txt("LastName", 60, true), Txt("FirstName", 60, true), Txt("MiddleName", 60, false, true),
         Dt("BirthDate"), Byt("Sex", "1"), Txt("Inn", 12), Txt("Snils", 14), Lng("IdentityDocId"),
         Lng("AccountantDocId"), Lng("PboulRegCertificateID"), Lng("HomeAddressId"), Lng("AbroadAddressId")},
        {Pk(),
         {kLooseUniqueIndex, {"Inn"}, false, true, true},
         Ix("NaturalPerson_Name", {"LastName", "FirstName", "MiddleName"})});
    add("LegalPerson", 1,
        {Key(), Txt("FullName", 255, true), Txt("ShortName", 120), Txt("Inn", 10), Txt("Kpp", 9),
         Txt("Ogrn", 13), Lng("InnRegCertificateID"), Lng("RegAddressID"), Lng("CtrlAddressId")},
        {Pk(), Ix("LegalPerson_Inn", {"Inn", "Kpp"})});
    add("Person", 1,
        {Key(), Byt("Type", "1"), Lng("PersonRealId"), Txt("Name", 255, true), Txt("Inn", 12, false, true)},
        {Pk(), Ix("Person_Real", {"Type", "PersonRealId"})});
    add("Personnel", 1,
        {Key(), Lng("JobPlaceId"), Lng("WorkerId"), Txt("Position", 100), Lng("AuthorityDocID"),
         Dt("HireDate"), Bool("IsHead")},
        {Pk(), Ix("Personnel_Worker", {"WorkerId"}), Ix("Personnel_JobPlace", {"JobPlaceId"})});
    add("Branches", 1,
        {Key(), Lng("ParentPersonID"), Lng("ChildPersonID"), Txt("BranchName", 255), Txt("Kpp", 9)},
        {Pk(), Ix("Branches_Parent", {"ParentPersonID"})});
    add("AccPerson", 1,
        {Key(), Lng("PersonId"), Txt("AccountNo", 20), Txt("Bik", 9), Txt("BankName", 255), Cur("Balance")},
        {Pk(), Ix("AccPerson_Person", {"PersonId"})});
    add("AccStream", 1,
        {Key(), Lng("PersonId"), Txt(kLooseRequiredField, 255, true), Int("StreamType", "0"), Dt("OpenedOn"),
         Txt("TaxOffice", 4)},
        {Pk(), Ix("AccStream_Person", {"PersonId"})});
    add("TextBlobs", 1, {Key(), Lng("AccStreamId"), Int("TextKind", "0"), Memo("Content"), Dt("ChangedOn")},
        {Pk(), Ix("TextBlobs_Stream", {"AccStreamId"})});
    add("PfrPersons", 1,
        {Key(), Lng("Person_Id"), Txt("Snils", 14, true), Txt("LastName", 60), Txt("FirstName", 60),
         Txt("MiddleName", 60, false, true), Dt("BirthDate"), Lng("PassportID"), Lng("RegAddressID"),
         Lng("ActualAddressID")},
        {Pk(), Ix("PfrPersons_Person", {"Person_Id"}), Ix("PfrPersons_Snils", {"Snils"})});
    add("CourBlobs", 1, {Key(), Lng("BlobSize"), Bin("Content"), Dt("CreatedOn")}, {Pk()});
    add("Doc_Registry", 1,
        {Key("Document_Id"), Lng("Time_ID"), Lng("Template_Id"), Lng("AccStreamId"),
         Txt("DocNumber", 30, false, true), Txt("DocName", 255, true), Dt("DocDate"), Dt("CreatedOn"),
         Cur("TotalSum"), Int("Status", "0"), Lng("FileContent_ID"), Memo("Note")},
        {Pk("Document_Id"), Ix("Doc_Registry_Date", {"-DocDate"}),
         Ix("Doc_Registry_Stream", {"AccStreamId", "Time_ID"}),
         Ix("Doc_Registry_Template", {"Template_Id"})});
    {
        ColumnSpec id = Key();
        id.AutoIncrement = true;
        add("Doc_Cell_Values", 1,
            {id, Lng("document_id", true), Lng("RowNo", true), Int("ColNo"),
             Txt("CellValue", 255, false, true)},
            {Pk(), Ix("Doc_Cell_Values_Doc", {"document_id", "RowNo", "ColNo"})});
    }
    add("DOC_Attachments", 1,
        {Key(), Lng("DocumentId"), Lng("StoredFileId"), Txt("FileName", 255), Dt("AttachedOn")},
        {Pk(), Ix("DOC_Attachments_Doc", {"DocumentId"}), Ix("DOC_Attachments_File", {"StoredFileId"})});
    add("StoredFiles", 1,
        {Key(), Txt("FileName", 255, true),
         Txt("MimeType", 100, false, false, "\"application/octet-stream\""), Lng("FileSize"), Bin("Content")},
        {Pk()});
    add("PfrSubDocs", 1, {Key(), Lng("DocumentId"), Int("SubDocType"), Lng("PersonsCount"), Txt("Name", 255)},
        {Pk(), Ix("PfrSubDocs_Doc", {"DocumentId"})});
    add("PfrCellValues", 1, {Key(), Lng("SubDocId"), Txt("CellCode", 20), Txt("CellValue", 255, false, true)},
        {Pk(), Ix("PfrCellValues_SubDoc", {"SubDocId"})});
    add("PfrErrors", 1,
        {Key(), Lng("SubDocId"), Txt("ErrorCode", 10), Txt("ErrorText", 255), Byt("Severity", "1"),
         Dt("CheckedOn")},
        {Pk(), Ix("PfrErrors_SubDoc", {"SubDocId"})});
    add("FssDocCircles", 1,
        {Key(), Lng("DocumentId"), Int("CircleNo"), Lng("DocText_BlobID"), Lng("LastHtml_BlobID"),
         Lng("Ticket_BlobID"), Dt("SentOn"), Int("State", "0")},
        {Pk(), Ix("FssDocCircles_Doc", {"DocumentId"})});
    add("CourMessages", 1,
        {Key(), Txt("Subject", 255), Txt("Sender", 255), Lng("MimeContent_Blob_ID"), Dt("ReceivedOn")},
        {Pk()});
    add("CourMsgParts", 1, {Key(), Lng("MessageId"), Txt("PartName", 255), Lng("ContentBlob_ID")},
        {Pk(), Ix("CourMsgParts_Message", {"MessageId"})});
    add("CourSignatures", 1,
        {Key(), Lng("MessageId"), Txt("SignerName", 255), Lng("PublicKey_Blob_ID"), Lng("Signature_Blob_ID"),
         Dt("SignedOn")},
        {Pk()});
    add("CourCertLinks", 1,
        {Key(), Txt("Thumbprint", 40), Txt("OwnerName", 255), Lng("Content_Blob_ID"), Dt("ValidTo")}, {Pk()});
    add("Warrants", 1,
        {Key(), Lng("WorkerId"), Txt("WarrantNo", 30), Dt("IssueDate"), Dt("ExpiryDate"),
         Lng("Origin_SubjectID"), Lng("LPrincipal_SubjectID"), Lng("NPrincipal_SubjectID"),
         Lng("LAgent_SubjectID"), Lng("NAgent_SubjectID"), Lng("LWitness_SubjectID"),
         Lng("NWitness_SubjectID")},
        {Pk(), Ix("Warrants_Worker", {"WorkerId"})});
    add("WarPowers", 1, {Key(), Lng("Warrant_Id"), Txt("PowerCode", 10), Txt("Description", 255)},
        {Pk(), Ix("WarPowers_Warrant", {"Warrant_Id"})});
    add("WarPermissions", 1, {Key(), Lng("WarPower_Id"), Txt("PermissionCode", 20), Bool("Granted")},
        {Pk(), Ix("WarPermissions_Power", {"WarPower_Id"})});
    add("WarSubjects", 1,
        {Key(), Byt("SubjectType", "1"), Txt("Name", 255), Txt("Inn", 12), Lng("PassportID"),
         Lng("AddressId")},
        {Pk()});
    add("PermBlocks", 1,
        {Key("ID"), Int("BlockType"), Int("AreaType", "0"), Lng("PermObjectID"), Txt("Name", 100)},
        {Pk("ID"), Ix("PermBlocks_Object", {"BlockType", "PermObjectID"})});
    add("PermObjectLists", 1, {Key(), Lng("BlockID"), Lng("PermObjectID")},
        {Pk(), Ix("PermObjectLists_Block", {"BlockID"})});
    add(kMissingTable, 1, {Key(), Lng("DocumentId"), Txt("PackName", 255), Dt("CreatedOn")}, {Pk()});
    t.back().InMainFile = false;
    // The list names itself, so the rebuilt file keeps it, with the reference's rows.
    add("ListTbl", 0, {Txt("TblName", 64, true), Lng("TblType")}, {});

    for (auto& spec : t) {
        for (auto& c : spec.Columns) {
            if (c.Type == dbBoolean) c.Required = false;
        }
    }
    return t;
}

} // namespace

int TableSpec::ColumnIndex(const std::string& name) const {
    for (size_t i = 0; i < Columns.size(); ++i) {
        if (strcasecmp(Columns[i].Name.c_str(), name.c_str()) == 0) return static_cast<int>(i);
    }
    throw std::logic_error("no column " + name + " in " + Name);
}

const std::vector<TableSpec>& Tables() {
    static const std::vector<TableSpec> tables = MakeTables();
    return tables;
}

const TableSpec& Table(const std::string& name) {
    for (const auto& t : Tables()) {
        if (strcasecmp(t.Name.c_str(), name.c_str()) == 0) return t;
    }
    throw std::logic_error("no table " + name);
}

TableDef BuildTableDef(Database& db, const TableSpec& spec, bool mainFile) {
    TableDef def = db.CreateTableDef(spec.Name);
    for (const auto& c : spec.Columns) {
        Field f = def.CreateField(c.Name, c.Type, c.Size);
        f.Required = c.Required;
        f.AllowZeroLength = c.AllowZeroLength;
        if (!c.Default.empty()) f.DefaultValue = c.Default;
        if (c.AutoIncrement) f.Attributes |= dbAutoIncrField;
        if (mainFile && spec.Name == kLooseRequiredTable && c.Name == kLooseRequiredField) f.Required = false;
        def.Fields.push_back(std::move(f));
    }
    for (const auto& ix : spec.Indexes) {
        Index index = def.CreateIndex(ix.Name);
        for (const auto& name : ix.Fields) {
            const bool descending = !name.empty() && name[0] == '-';
            IndexField f = index.CreateField(descending ? name.substr(1) : name);
            if (descending) f.Attributes |= dbDescending;
            index.Fields.push_back(std::move(f));
        }
        index.Primary = ix.Primary;
        index.Unique = ix.Unique;
        index.IgnoreNulls = ix.IgnoreNulls;
        if (mainFile && ix.Name == kLooseUniqueIndex) index.Unique = false;
        def.Indexes.push_back(std::move(index));
    }
    return def;
}

} // namespace k5demo
