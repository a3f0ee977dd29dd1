#include "Generator.h"

#include "Damage.h"
#include "RussianData.h"
#include "Schema.h"
#include "dbengine/DaoEngine.h"
#include "support/Error.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <strings.h>

namespace k5demo {
namespace {

using k5::Bytes;
using k5::Currency;
using k5::Null;
using k5::Value;
using namespace k5::db;
namespace fs = std::filesystem;

constexpr int32_t kMajor = 4, kMinor = 2, kBuild = 17;
// Ids of documents, sub-documents and the like that exist nowhere: what orphans point at.
constexpr int32_t kGhostBase = 900000000;

Value L(int64_t v) {
    return static_cast<int32_t>(v);
}
Value I(int v) {
    return static_cast<int16_t>(v);
}
Value B(int v) {
    return static_cast<uint8_t>(v);
}
Value S(std::string s) {
    return s;
}
Value D(double days) {
    return k5::Date{days};
}
Value Money(int64_t kopecks) {
    return Currency{kopecks * 100};
}

// Appends rows to one table through the engine's row interface.
class Writer {
public:
    Writer(Database& db, const TableSpec& spec)
        : mSpec(spec), mRs(db.OpenRecordset(spec.Name, dbOpenTable)), mRow(spec.Columns.size()) {
        for (const auto& c : spec.Columns) {
            mMap.push_back(mRs->FieldIndex(c.Name));
            if (mMap.back() < 0)
                throw std::runtime_error("the engine shows no field " + c.Name + " in " + spec.Name);
        }
    }
    void Begin() {
        for (auto& v : mRow)
            v = Null{};
    }
    void Set(const char* column, Value v) {
        mRow[static_cast<size_t>(mSpec.ColumnIndex(column))] = std::move(v);
    }
    void SetAt(size_t index, Value v) { mRow[index] = std::move(v); }
    void Put() {
        mRs->AddNew();
        for (size_t i = 0; i < mRow.size(); ++i) {
            if (!k5::IsNull(mRow[i])) mRs->SetValue(mMap[i], mRow[i]);
        }
        mRs->Update();
        ++mCount;
    }
    int32_t NextId() { return ++mLastId; }
    int32_t LastId() const { return mLastId; }
    int64_t Count() const { return mCount; }
    void Close() { mRs->Close(); }

private:
    const TableSpec& mSpec;
    std::unique_ptr<Recordset> mRs;
    std::vector<Value> mRow;
    std::vector<int> mMap;
    int32_t mLastId = 0;
    int64_t mCount = 0;
};

Bytes RandomBytes(Rng& rng, size_t n) {
    Bytes b(n);
    size_t i = 0;
    while (i < n) {
        uint64_t x = rng.Next();
        for (int k = 0; k < 8 && i < n; ++k, ++i, x >>= 8)
            b[i] = static_cast<uint8_t>(x);
    }
    return b;
}

std::string Inn(Rng& rng, bool legal) {
    return rng.Digits(legal ? 10 : 12);
}
std::string Snils(Rng& rng) {
    const std::string d = rng.Digits(11);
    return d.substr(0, 3) + "-" + d.substr(3, 3) + "-" + d.substr(6, 3) + " " + d.substr(9, 2);
}

struct Period {
    int32_t Id;
    int Year;
    const char* Code;
    double End;
};

std::vector<Period> MakePeriods() {
    std::vector<Period> p;
    int32_t id = 0;
    for (int year = 2021; year <= 2024; ++year) {
        p.push_back({++id, year, "21", OleDate(year, 3, 31)});
        p.push_back({++id, year, "31", OleDate(year, 6, 30)});
        p.push_back({++id, year, "33", OleDate(year, 9, 30)});
        p.push_back({++id, year, "34", OleDate(year, 12, 31)});
    }
    return p;
}

const char* PeriodName(const char* code) {
    if (std::string(code) == "21") return "I квартал";
    if (std::string(code) == "31") return "полугодие";
    if (std::string(code) == "33") return "9 месяцев";
    return "год";
}

// New databases are copies of one empty database made by the engine: making a database
// costs the engine's catalogue set-up with its waits for the disk, a copy does not. A demo
// file that a crash leaves half made is simply made again, so the generator's own
// connections skip those waits as well (best effort).
class DatabaseMaker {
public:
    explicit DatabaseMaker(const fs::path& folder) : mTemplate(folder / ".k5demo_empty.mdb") {
        fs::remove(mTemplate);
        DBEngine::Instance().CreateDatabase(mTemplate.string(), dbLangCyrillic, dbVersion40)->Close();
    }
    ~DatabaseMaker() {
        std::error_code ec;
        fs::remove(mTemplate, ec);
    }
    std::unique_ptr<Database> Create(const std::string& path) const {
        fs::copy_file(mTemplate, path, fs::copy_options::overwrite_existing);
        auto db = DBEngine::Instance().OpenDatabase(path, true, false);
        try {
            db->Execute("PRAGMA synchronous=OFF");
        } catch (const k5::K5Error&) {
        }
        return db;
    }

private:
    fs::path mTemplate;
};

void CreateTables(Database& db, bool mainFile) {
    try {
        for (const auto& spec : Tables()) {
            if (mainFile && !spec.InMainFile) continue;
            db.AppendTableDef(BuildTableDef(db, spec, mainFile));
        }
    }
    K5_TRAP("k5demo", "CreateTables")
}

// The tables whose rows both files share: version, table list, periods, form templates.
void FillCommonTables(Database& db) {
    try {
        Writer ver(db, Table("DBVersion"));
        ver.Begin();
        ver.Set("MajorVersion", L(kMajor));
        ver.Set("MinorVersion", L(kMinor));
        ver.Set("BuildNumber", L(kBuild));
        ver.Put();
        ver.Close();

        Writer list(db, Table("ListTbl"));
        for (const auto& spec : Tables()) {
            if (!spec.Listed) continue;
            list.Begin();
            list.Set("TblName", S(spec.Name));
            list.Set("TblType", L(spec.ListType));
            list.Put();
        }
        list.Close();

        Writer periods(db, Table("TimePeriods"));
        for (const auto& p : MakePeriods()) {
            periods.Begin();
            periods.Set("Id", L(p.Id));
            periods.Set("PeriodYear", I(p.Year));
            periods.Set("PeriodCode", S(p.Code));
            periods.Set("Name", S(std::string(PeriodName(p.Code)) + " " + std::to_string(p.Year) + " г."));
            periods.Set("DateBegin", D(OleDate(p.Year, 1, 1)));
            periods.Set("DateEnd", D(p.End));
            periods.Put();
        }
        periods.Close();

        Writer templates(db, Table("DocTemplates"));
        for (const auto& t : DocTemplates()) {
            templates.Begin();
            templates.Set("Id", L(t.Id));
            templates.Set("FormCode", S(t.FormCode));
            templates.Set("Name", S(t.Name));
            templates.Set("Kind", I(t.Kind));
            templates.Set("FormVersion", S("5.0" + std::to_string(t.Id % 4)));
            templates.Put();
        }
        templates.Close();
    }
    K5_TRAP("k5demo", "FillCommonTables")
}

int64_t RowCount(Database& db, const std::string& table) {
    auto rs = db.OpenRecordset(table, dbOpenTable);
    const int64_t n = rs->RecordCount();
    rs->Close();
    return n;
}

// The main database: healthy data first, then the planted faults.
class MainBuilder {
public:
    MainBuilder(Database& db, const ScaleParams& p, uint64_t seed, Report& report)
        : mDb(db), mP(p), mRng(seed), mReport(report), mPeriods(MakePeriods()) {
        for (const char* name :
             {"Certificate",     "Address",      "PfrAddress",     "NaturalPerson",  "LegalPerson",
              "Person",          "Personnel",    "Branches",       "AccPerson",      "AccStream",
              "TextBlobs",       "PfrPersons",   "CourBlobs",      "Doc_Registry",   "Doc_Cell_Values",
              "DOC_Attachments", "StoredFiles",  "PfrSubDocs",     "PfrCellValues",  "PfrErrors",
              "FssDocCircles",   "CourMessages", "CourMsgParts",   "CourSignatures", "CourCertLinks",
              "Warrants",        "WarPowers",    "WarPermissions", "WarSubjects",    "PermBlocks",
              "PermObjectLists"})
            mW.emplace(name, std::make_unique<Writer>(db, Table(name)));
        mCellColumns[0] = static_cast<size_t>(Table("Doc_Cell_Values").ColumnIndex("document_id"));
        mCellColumns[1] = static_cast<size_t>(Table("Doc_Cell_Values").ColumnIndex("RowNo"));
        mCellColumns[2] = static_cast<size_t>(Table("Doc_Cell_Values").ColumnIndex("ColNo"));
        mCellColumns[3] = static_cast<size_t>(Table("Doc_Cell_Values").ColumnIndex("CellValue"));
    }

    void Build() {
        try {
            for (int o = 0; o < mP.Orgs; ++o)
                Organisation(o);
            TextBlobs();
            Permissions();
            for (const auto& s : mStreams) {
                for (int d = 0; d < mP.DocsPerStream; ++d)
                    Document(s, d, DocFault::None);
            }
            Courier();
            Orphans();
            for (auto& [name, w] : mW)
                w->Close();
        }
        K5_TRAP("k5demo", "MainBuilder.Build")
    }

    // Documents that exist, for the BigDocs folder; and the ones the clean-up removes.
    std::vector<int32_t> BigDocCandidates;
    std::vector<int32_t> RemovedDocs;

private:
    enum class DocFault { None, NoPeriod, NoTemplate };
    struct Stream {
        int32_t Id;
        int32_t PersonId;
        int Org;
    };
    struct Org {
        int32_t PersonId;
        int32_t SubjectId;
        std::vector<int32_t> Personnel;
        std::vector<std::string> Inns;
    };

    Writer& W(const char* name) { return *mW.at(name); }
    double RecentDate() { return OleDate(2021, 1, 1) + static_cast<double>(mRng.Range(0, 4 * 365)); }
    double Stamp() { return RecentDate() + static_cast<double>(mRng.Range(8 * 60, 19 * 60)) / 1440.0; }

    int32_t Certificate(int docType, const std::string& issuer) {
        Writer& w = W("Certificate");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("DocType", I(docType));
        w.Set("Series", S(docType == 21 ? mRng.Digits(2) + " " + mRng.Digits(2) : std::string()));
        w.Set("Number", S(mRng.Digits(docType == 21 ? 6 : 9)));
        w.Set("IssueDate", D(OleDate(2005, 1, 1) + static_cast<double>(mRng.Range(0, 6000))));
        w.Set("IssuedBy", S(issuer));
        if (docType == 21) w.Set("DivisionCode", S(mRng.Digits(3) + "-" + mRng.Digits(3)));
        w.Put();
        return id;
    }

    int32_t Address() {
        Writer& w = W("Address");
        const AddressParts a = MakeAddress(mRng);
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("PostIndex", S(a.PostIndex));
        w.Set("Region", S(a.Region));
        w.Set("City", S(a.City));
        w.Set("Street", S(a.Street));
        w.Set("House", S(a.House));
        w.Set("Flat", S(a.Flat));
        w.Set("FullAddress", S(a.Full()));
        w.Put();
        return id;
    }

    int32_t PfrAddress() {
        Writer& w = W("PfrAddress");
        const AddressParts a = MakeAddress(mRng);
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("PostIndex", S(a.PostIndex));
        w.Set("RegionCode", S(mRng.Digits(2)));
        w.Set("FullAddress", S(a.Full()));
        w.Put();
        return id;
    }

    int32_t Person(int type, int32_t realId, const std::string& name, const std::string& inn) {
        Writer& w = W("Person");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("Type", B(type));
        w.Set("PersonRealId", L(realId));
        w.Set("Name", S(name));
        w.Set("Inn", S(inn));
        w.Put();
        return id;
    }

    // A natural person with passport and home address; returns its NaturalPerson id.
    int32_t NaturalPerson(const PersonName& n, const std::string& inn, bool accountant) {
        const int32_t passport = Certificate(21, MakeIssuer(mRng));
        const int32_t home = Address();
        const int32_t accDoc =
            accountant ? Certificate(91, "Институт профессиональных бухгалтеров России") : 0;
        const int32_t pboul = mRng.Chance(5) ? Certificate(24, "ИФНС России № 7") : 0;
        const int32_t abroad = mRng.Chance(3) ? Address() : 0;
        Writer& w = W("NaturalPerson");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("LastName", S(n.LastName));
        w.Set("FirstName", S(n.FirstName));
        w.Set("MiddleName", S(n.MiddleName));
        w.Set("BirthDate", D(OleDate(1960, 1, 1) + static_cast<double>(mRng.Range(0, 15000))));
        w.Set("Sex", B(n.Male ? 1 : 2));
        w.Set("Inn", S(inn));
        w.Set("Snils", S(Snils(mRng)));
        w.Set("IdentityDocId", L(passport));
        if (accDoc) w.Set("AccountantDocId", L(accDoc));
        if (pboul) w.Set("PboulRegCertificateID", L(pboul));
        w.Set("HomeAddressId", L(home));
        if (abroad) w.Set("AbroadAddressId", L(abroad));
        w.Put();
        return id;
    }

    int32_t WarSubject(int type, const std::string& name, const std::string& inn, bool withPassport) {
        const int32_t passport = withPassport ? Certificate(21, MakeIssuer(mRng)) : 0;
        const int32_t address = Address();
        Writer& w = W("WarSubjects");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("SubjectType", B(type));
        w.Set("Name", S(name));
        w.Set("Inn", S(inn));
        if (passport) w.Set("PassportID", L(passport));
        w.Set("AddressId", L(address));
        w.Put();
        return id;
    }

    int32_t AccStream(int32_t personId, const std::string& name, bool dropName) {
        Writer& w = W("AccStream");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("PersonId", L(personId));
        if (!dropName) w.Set("Name", S(name));
        w.Set("StreamType", I(static_cast<int>(mRng.Range(0, 2))));
        w.Set("OpenedOn", D(RecentDate()));
        w.Set("TaxOffice", S(mRng.Digits(4)));
        w.Put();
        return id;
    }

    void Organisation(int o) {
        Org org;
        const std::string name = MakeOrganisationName(mRng);
        const std::string inn = Inn(mRng, true);
        const int32_t reg = Address();
        const int32_t ctrl = mRng.Chance(30) ? Address() : reg;
        const int32_t cert = Certificate(26, MakeIssuer(mRng));
        Writer& lp = W("LegalPerson");
        const int32_t lpId = lp.NextId();
        lp.Begin();
        lp.Set("Id", L(lpId));
        lp.Set("FullName", S("Общество " + name));
        lp.Set("ShortName", S(name));
        lp.Set("Inn", S(inn));
        lp.Set("Kpp", S(mRng.Digits(9)));
        lp.Set("Ogrn", S(mRng.Digits(13)));
        lp.Set("InnRegCertificateID", L(cert));
        lp.Set("RegAddressID", L(reg));
        lp.Set("CtrlAddressId", L(ctrl));
        lp.Put();
        org.PersonId = Person(2, lpId, name, inn);

        Writer& acc = W("AccPerson");
        for (int k = 0, n = static_cast<int>(mRng.Range(1, 2)); k < n; ++k) {
            acc.Begin();
            acc.Set("Id", L(acc.NextId()));
            acc.Set("PersonId", L(org.PersonId));
            acc.Set("AccountNo", S("40702810" + mRng.Digits(12)));
            acc.Set("Bik", S("04" + mRng.Digits(7)));
            acc.Set("BankName", S(mRng.Chance(50) ? "ПАО Сбербанк" : "АО «Альфа-Банк»"));
            acc.Set("Balance", Money(mRng.Range(0, 500000000)));
            acc.Put();
        }
        // The first organisation keeps two streams: the second one is the row without a name.
        const int streams = o == 0 ? 2 : static_cast<int>(mRng.Range(1, 2));
        for (int k = 0; k < streams; ++k) {
            const bool dropName = o == 0 && k == 1;
            const int32_t id =
                AccStream(org.PersonId, name + (k ? " (обособленное подразделение)" : ""), dropName);
            if (dropName) mReport.RequiredNulls++;
            mStreams.push_back({id, org.PersonId, o});
        }
        if (o > 0 && mRng.Chance(10)) {
            Writer& br = W("Branches");
            br.Begin();
            br.Set("Id", L(br.NextId()));
            br.Set("ParentPersonID", L(mOrgs[0].PersonId));
            br.Set("ChildPersonID", L(org.PersonId));
            br.Set("BranchName", S("Филиал " + name));
            br.Set("Kpp", S(mRng.Digits(9)));
            br.Put();
        }

        for (int k = 0; k < mP.WorkersPerOrg; ++k) {
            const PersonName n = MakePersonName(mRng);
            // Duplicates: a worker entered twice under the INN of an earlier one.
            std::string wInn = Inn(mRng, false);
            if (mReport.Duplicates < mP.Duplicates && !org.Inns.empty() && k == mP.WorkersPerOrg - 1) {
                wInn = org.Inns.front();
                mReport.Duplicates++;
            }
            org.Inns.push_back(wInn);
            const int32_t np = NaturalPerson(n, wInn, k == 1);
            const int32_t person = Person(1, np, n.Full(), wInn);
            Writer& pl = W("Personnel");
            const int32_t plId = pl.NextId();
            pl.Begin();
            pl.Set("Id", L(plId));
            pl.Set("JobPlaceId", L(org.PersonId));
            pl.Set("WorkerId", L(person));
            pl.Set("Position", S(MakePosition(mRng, k < 2)));
            if (k == 0) pl.Set("AuthorityDocID", L(Certificate(31, "Устав организации")));
            pl.Set("HireDate", D(OleDate(2010, 1, 1) + static_cast<double>(mRng.Range(0, 5000))));
            pl.Set("IsHead", k == 0);
            pl.Put();
            org.Personnel.push_back(plId);
        }

        for (int k = 0; k < mP.PfrPersonsPerOrg; ++k) {
            const PersonName n = MakePersonName(mRng);
            PfrPerson(org.PersonId, n);
        }

        org.SubjectId = WarSubject(1, name, inn, false);
        mOrgs.push_back(org);
        // Warrants: the head of the organisation authorises the accountant.
        if (org.Personnel.size() >= 2)
            Warrant(org.Personnel[1], org.SubjectId,
                    WarSubject(2, MakePersonName(mRng).Full(), Inn(mRng, false), true));
    }

    void PfrPerson(int32_t personId, const PersonName& n) {
        const int32_t passport = Certificate(21, MakeIssuer(mRng));
        const int32_t reg = PfrAddress();
        const int32_t actual = mRng.Chance(30) ? PfrAddress() : reg;
        Writer& w = W("PfrPersons");
        w.Begin();
        w.Set("Id", L(w.NextId()));
        w.Set("Person_Id", L(personId));
        w.Set("Snils", S(Snils(mRng)));
        w.Set("LastName", S(n.LastName));
        w.Set("FirstName", S(n.FirstName));
        w.Set("MiddleName", S(n.MiddleName));
        w.Set("BirthDate", D(OleDate(1960, 1, 1) + static_cast<double>(mRng.Range(0, 15000))));
        w.Set("PassportID", L(passport));
        w.Set("RegAddressID", L(reg));
        w.Set("ActualAddressID", L(actual));
        w.Put();
    }

    int32_t Warrant(int32_t personnelId, int32_t principal, int32_t agent) {
        Writer& w = W("Warrants");
        const int32_t id = w.NextId();
        const double issued = RecentDate();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("WorkerId", L(personnelId));
        w.Set("WarrantNo", S("Д-" + std::to_string(id) + "/" + mRng.Digits(2)));
        w.Set("IssueDate", D(issued));
        w.Set("ExpiryDate", D(issued + 365));
        w.Set("Origin_SubjectID", L(principal));
        w.Set("LPrincipal_SubjectID", L(principal));
        w.Set("NAgent_SubjectID", L(agent));
        w.Put();
        for (int k = 0, n = static_cast<int>(mRng.Range(1, 3)); k < n; ++k)
            WarPower(id);
        return id;
    }

    int32_t WarPower(int32_t warrantId) {
        Writer& w = W("WarPowers");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("Warrant_Id", L(warrantId));
        w.Set("PowerCode", S(mRng.Digits(5)));
        w.Set("Description", S(MakePowerText(mRng)));
        w.Put();
        for (int k = 0, n = static_cast<int>(mRng.Range(1, 2)); k < n; ++k)
            WarPermission(id);
        return id;
    }

    void WarPermission(int32_t powerId) {
        Writer& w = W("WarPermissions");
        w.Begin();
        w.Set("Id", L(w.NextId()));
        w.Set("WarPower_Id", L(powerId));
        w.Set("PermissionCode", S("PRM" + mRng.Digits(3)));
        w.Set("Granted", mRng.Chance(80));
        w.Put();
    }

    void TextBlob(int32_t streamId, const std::string& text) {
        Writer& w = W("TextBlobs");
        w.Begin();
        w.Set("Id", L(w.NextId()));
        w.Set("AccStreamId", L(streamId));
        w.Set("TextKind", I(static_cast<int>(mRng.Range(1, 3))));
        w.Set("Content", S(text));
        w.Set("ChangedOn", D(Stamp()));
        w.Put();
    }

    // One note per stream; the note in the middle is the one whose storage gets broken.
    void TextBlobs() {
        const size_t damaged = mStreams.size() / 2;
        for (size_t i = 0; i < mStreams.size(); ++i) {
            if (i == damaged) {
                const std::string text = MakeText(mRng, 200 * 1024);
                mReport.DamagedTable = "TextBlobs";
                mReport.DamagedField = "Content";
                mReport.DamagedPosition = W("TextBlobs").Count() + 1;
                mReport.DamagedId = W("TextBlobs").LastId() + 1;
                mReport.DamagedBytes = static_cast<int64_t>(text.size());
                TextBlob(mStreams[i].Id, text);
            } else {
                TextBlob(mStreams[i].Id, MakeText(mRng, static_cast<size_t>(mRng.Range(60, 600))));
            }
        }
    }

    int32_t PermBlock(int blockType, int areaType, int32_t objectId, const std::string& name) {
        Writer& w = W("PermBlocks");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("ID", L(id));
        w.Set("BlockType", I(blockType));
        w.Set("AreaType", I(areaType));
        w.Set("PermObjectID", L(objectId));
        w.Set("Name", S(name));
        w.Put();
        return id;
    }

    void PermObjectList(int32_t blockId, int32_t objectId) {
        Writer& w = W("PermObjectLists");
        w.Begin();
        w.Set("Id", L(w.NextId()));
        w.Set("BlockID", L(blockId));
        w.Set("PermObjectID", L(objectId));
        w.Put();
    }

    void Permissions() {
        PermBlock(1, 1, 0, "Администраторы");
        PermBlock(2, 1, 0, "Бухгалтерия");
        for (const auto& s : mStreams) {
            const int32_t block = PermBlock(5, 2, s.Id, "Доступ к учётному потоку " + std::to_string(s.Id));
            PermObjectList(block, s.Id);
        }
    }

    int32_t CourBlob(size_t bytes) {
        Writer& w = W("CourBlobs");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("BlobSize", L(static_cast<int64_t>(bytes)));
        w.Set("Content", RandomBytes(mRng, bytes));
        w.Set("CreatedOn", D(Stamp()));
        w.Put();
        return id;
    }

    size_t BlobSize(int typical) { return static_cast<size_t>(mRng.Range(typical / 2, typical * 3 / 2)); }

    int32_t StoredFile(const std::string& name) {
        Writer& w = W("StoredFiles");
        const int32_t id = w.NextId();
        const size_t bytes = BlobSize(mP.FileBytes);
        w.Begin();
        w.Set("Id", L(id));
        w.Set("FileName", S(name));
        w.Set("MimeType", S(mRng.Chance(50) ? "application/pdf" : "image/jpeg"));
        w.Set("FileSize", L(static_cast<int64_t>(bytes)));
        w.Set("Content", RandomBytes(mRng, bytes));
        w.Put();
        return id;
    }

    void Attachment(int32_t docId, int32_t storedFile, const std::string& name) {
        Writer& w = W("DOC_Attachments");
        w.Begin();
        w.Set("Id", L(w.NextId()));
        w.Set("DocumentId", L(docId));
        w.Set("StoredFileId", L(storedFile));
        w.Set("FileName", S(name));
        w.Set("AttachedOn", D(Stamp()));
        w.Put();
    }

    void Cells(int32_t docId, int count) {
        Writer& w = W("Doc_Cell_Values");
        for (int c = 0; c < count; ++c) {
            w.Begin();
            w.SetAt(mCellColumns[0], L(docId));
            w.SetAt(mCellColumns[1], L(c / 4 + 1));
            w.SetAt(mCellColumns[2], I(c % 4 + 1));
            w.SetAt(mCellColumns[3], S(MakeCellValue(mRng, c)));
            w.Put();
        }
    }

    int32_t SubDoc(int32_t docId, int cells) {
        Writer& w = W("PfrSubDocs");
        const int32_t id = w.NextId();
        w.Begin();
        w.Set("Id", L(id));
        w.Set("DocumentId", L(docId));
        w.Set("SubDocType", I(static_cast<int>(mRng.Range(1, 3))));
        w.Set("PersonsCount", L(mRng.Range(1, 40)));
        w.Set("Name", S("Пачка сведений № " + std::to_string(id)));
        w.Put();
        for (int c = 0; c < cells; ++c)
            PfrCell(id, c);
        return id;
    }

    void PfrCell(int32_t subDocId, int c) {
        Writer& w = W("PfrCellValues");
        w.Begin();
        w.Set("Id", L(w.NextId()));
        w.Set("SubDocId", L(subDocId));
        w.Set("CellCode", S("R" + std::to_string(c / 3 + 1) + "C" + std::to_string(c % 3 + 1)));
        w.Set("CellValue", S(MakeCellValue(mRng, c)));
        w.Put();
    }

    void PfrError(int32_t subDocId) {
        Writer& w = W("PfrErrors");
        w.Begin();
        w.Set("Id", L(w.NextId()));
        w.Set("SubDocId", L(subDocId));
        w.Set("ErrorCode", S("50" + mRng.Digits(2)));
        w.Set("ErrorText", S(MakeErrorText(mRng)));
        w.Set("Severity", B(static_cast<int>(mRng.Range(1, 2))));
        w.Set("CheckedOn", D(Stamp()));
        w.Put();
    }

    void Circle(int32_t docId, int no) {
        const int32_t text = CourBlob(BlobSize(mP.BlobBytes));
        const int32_t html = CourBlob(BlobSize(mP.BlobBytes / 2));
        const int32_t ticket = CourBlob(BlobSize(mP.BlobBytes / 8));
        Writer& w = W("FssDocCircles");
        w.Begin();
        w.Set("Id", L(w.NextId()));
        w.Set("DocumentId", L(docId));
        w.Set("CircleNo", I(no));
        w.Set("DocText_BlobID", L(text));
        w.Set("LastHtml_BlobID", L(html));
        w.Set("Ticket_BlobID", L(ticket));
        w.Set("SentOn", D(Stamp()));
        w.Set("State", I(static_cast<int>(mRng.Range(0, 3))));
        w.Put();
    }

    // A document with its cells, attachments, pension fund sub-documents and circles.
    int32_t Document(const Stream& s, int index, DocFault fault) {
        const auto& templates = DocTemplates();
        // The first document of a stream is a pension fund report, so sub-documents always exist.
        const DocTemplateInfo& t = index == 0 ? templates[4] : mRng.Pick(templates);
        const Period& period = mRng.Pick(mPeriods);
        Writer& w = W("Doc_Registry");
        const int32_t id = w.NextId();
        const int32_t content = mRng.Chance(35) ? CourBlob(BlobSize(mP.BlobBytes)) : 0;
        w.Begin();
        w.Set("Document_Id", L(id));
        if (fault != DocFault::NoPeriod)
            w.Set("Time_ID", L(period.Id));
        else
            w.Set("Time_ID", L(0));
        if (fault != DocFault::NoTemplate) w.Set("Template_Id", L(t.Id));
        w.Set("AccStreamId", L(s.Id));
        w.Set("DocNumber", S(std::to_string(mRng.Range(1, 999)) + "/" + std::to_string(period.Year)));
        w.Set("DocName", S(std::string(t.Name) + " за " + PeriodName(period.Code) + " " +
                           std::to_string(period.Year) + " г."));
        w.Set("DocDate", D(period.End + static_cast<double>(mRng.Range(1, 28))));
        w.Set("CreatedOn", D(period.End + static_cast<double>(mRng.Range(1, 28)) +
                             static_cast<double>(mRng.Range(480, 1140)) / 1440.0));
        w.Set("TotalSum", Money(mRng.Range(0, 2000000000)));
        w.Set("Status", I(static_cast<int>(mRng.Range(0, 4))));
        if (content) w.Set("FileContent_ID", L(content));
        if (mRng.Chance(20)) w.Set("Note", S(MakeSentence(mRng)));
        w.Put();

        Cells(id, static_cast<int>(mRng.Range(mP.CellsPerDoc / 2, mP.CellsPerDoc * 3 / 2)));
        if (mRng.Chance(20) || fault != DocFault::None) {
            const std::string name = "Скан_" + std::to_string(id) + (mRng.Chance(50) ? ".pdf" : ".jpg");
            Attachment(id, StoredFile(name), name);
        }
        if (t.Kind == 2) {
            for (int k = 0, n = static_cast<int>(mRng.Range(1, 2)); k < n; ++k) {
                const int32_t sub = SubDoc(id, static_cast<int>(mRng.Range(3, 9)));
                if (mRng.Chance(25) || fault != DocFault::None) PfrError(sub);
            }
        } else if (t.Kind == 3 || fault != DocFault::None) {
            for (int k = 0, n = static_cast<int>(mRng.Range(1, 2)); k < n; ++k)
                Circle(id, k + 1);
        }
        if (fault == DocFault::None) BigDocCandidates.push_back(id);
        return id;
    }

    void Courier() {
        const int messages = std::max(2, static_cast<int>(mStreams.size()) * mP.DocsPerStream / 10);
        for (int m = 0; m < messages; ++m) {
            Writer& w = W("CourMessages");
            const int32_t id = w.NextId();
            const int32_t mime = CourBlob(BlobSize(mP.BlobBytes));
            w.Begin();
            w.Set("Id", L(id));
            w.Set("Subject", S(mRng.Chance(50) ? "Квитанция о приёме" : "Извещение о вводе сведений"));
            w.Set("Sender", S("Межрайонная ИФНС России № " + std::to_string(mRng.Range(1, 52))));
            w.Set("MimeContent_Blob_ID", L(mime));
            w.Set("ReceivedOn", D(Stamp()));
            w.Put();
            Writer& part = W("CourMsgParts");
            part.Begin();
            part.Set("Id", L(part.NextId()));
            part.Set("MessageId", L(id));
            part.Set("PartName", S("ON_NO_" + mRng.Digits(8) + ".xml"));
            part.Set("ContentBlob_ID", L(CourBlob(BlobSize(mP.BlobBytes / 4))));
            part.Put();
            Writer& sig = W("CourSignatures");
            const int32_t key = CourBlob(256);
            const int32_t signature = CourBlob(512);
            sig.Begin();
            sig.Set("Id", L(sig.NextId()));
            sig.Set("MessageId", L(id));
            sig.Set("SignerName", S(MakePersonName(mRng).Full()));
            sig.Set("PublicKey_Blob_ID", L(key));
            sig.Set("Signature_Blob_ID", L(signature));
            sig.Set("SignedOn", D(Stamp()));
            sig.Put();
        }
        for (int c = 0; c < std::max(1, mP.Orgs / 5); ++c) {
            Writer& w = W("CourCertLinks");
            const int32_t blob = CourBlob(1200);
            w.Begin();
            w.Set("Id", L(w.NextId()));
            w.Set("Thumbprint", S(mRng.Digits(20) + mRng.Digits(20)));
            w.Set("OwnerName", S(MakePersonName(mRng).Full()));
            w.Set("Content_Blob_ID", L(blob));
            w.Set("ValidTo", D(RecentDate() + 365));
            w.Put();
        }
    }

    void Planted(const char* table, int n = 1) { mReport.Orphans[table] += n; }
    int32_t Ghost() { return kGhostBase + ++mGhosts; }

    // Rows that the clean-up statements delete, each kind `Orphans` times; the counts in the
    // report are the planted rows only, not the rows that go with them.
    void Orphans() {
        const Stream& s = mStreams.front();
        for (int k = 0; k < mP.Orphans; ++k) {
            RemovedDocs.push_back(Document(s, 1, k % 2 ? DocFault::NoTemplate : DocFault::NoPeriod));
            Planted("Doc_Registry");
            Cells(Ghost(), 1);
            Planted("Doc_Cell_Values");
            Attachment(Ghost(), StoredFile("Договор.pdf"), "Договор.pdf");
            Planted("DOC_Attachments");
            StoredFile("Черновик.docx");
            Planted("StoredFiles");

            Writer& acc = W("AccPerson");
            acc.Begin();
            acc.Set("Id", L(acc.NextId()));
            if (k % 2) acc.Set("PersonId", L(0));
            acc.Set("AccountNo", S("40702810" + mRng.Digits(12)));
            acc.Put();
            Planted("AccPerson");
            const int32_t lost = AccStream(0, "Удалённая организация", false);
            Planted("AccStream");
            TextBlob(lost, MakeSentence(mRng));

            SubDoc(Ghost(), 2);
            Planted("PfrSubDocs");
            PfrCell(Ghost(), 0);
            Planted("PfrCellValues");
            PfrError(Ghost());
            Planted("PfrErrors");
            Circle(Ghost(), 1);
            Planted("FssDocCircles");
            CourBlob(300);
            Planted("CourBlobs");

            // An insured person of an organisation that has no stream any more.
            PfrPerson(Ghost(), MakePersonName(mRng));
            Planted("PfrPersons");
            // A person nobody refers to, with the natural person behind it.
            const PersonName n = MakePersonName(mRng);
            const std::string inn = Inn(mRng, false);
            Person(1, NaturalPerson(n, inn, false), n.Full(), inn);
            Planted("Person");
            const PersonName n2 = MakePersonName(mRng);
            NaturalPerson(n2, Inn(mRng, false), false);
            Planted("NaturalPerson");

            Warrant(Ghost(), WarSubject(1, MakeOrganisationName(mRng), Inn(mRng, true), false),
                    WarSubject(2, MakePersonName(mRng).Full(), Inn(mRng, false), true));
            Planted("Warrants");
            WarPower(Ghost());
            Planted("WarPowers");
            WarPermission(Ghost());
            Planted("WarPermissions");
            WarSubject(2, MakePersonName(mRng).Full(), Inn(mRng, false), true);
            Planted("WarSubjects");
            Certificate(21, MakeIssuer(mRng));
            Planted("Certificate");
            Address();
            Planted("Address");
            PfrAddress();
            Planted("PfrAddress");
            TextBlob(Ghost(), MakeSentence(mRng));
            Planted("TextBlobs");
            PermBlock(5, 1, Ghost(), "Доступ к закрытому потоку");
            Planted("PermBlocks");
            PermObjectList(PermBlock(5, 2, s.Id, "Доступ к потоку " + std::to_string(s.Id)), Ghost());
            Planted("PermObjectLists");
            PermBlock(5, 2, s.Id, "Пустой список доступа");
            Planted("PermBlocks");
        }
    }

    Database& mDb;
    const ScaleParams& mP;
    Rng mRng;
    Report& mReport;
    std::vector<Period> mPeriods;
    std::map<std::string, std::unique_ptr<Writer>> mW;
    size_t mCellColumns[4] = {};
    std::vector<Stream> mStreams;
    std::vector<Org> mOrgs;
    int32_t mGhosts = 0;
};

void FillReferenceRows(Database& db) {
    try {
        FillCommonTables(db);
        // The reference's own check results: what "clear the check results" puts in place.
        Writer errors(db, Table("PfrErrors"));
        const char* texts[] = {"Проверка сведений не выполнялась.",
                               "Результаты проверки очищены при обновлении."};
        for (int k = 0; k < 2; ++k) {
            errors.Begin();
            errors.Set("Id", L(k + 1));
            errors.Set("SubDocId", L(k + 1));
            errors.Set("ErrorCode", S("0000"));
            errors.Set("ErrorText", S(texts[k]));
            errors.Set("Severity", B(0));
            errors.Set("CheckedOn", D(OleDate(2024, 1, 1)));
            errors.Put();
        }
        errors.Close();
    }
    K5_TRAP("k5demo", "FillReferenceRows")
}

void MakeBigDoc(const DatabaseMaker& maker, const std::string& path, int32_t docId, int rows, Rng& rng) {
    try {
        auto db = maker.Create(path);
        TableDef def = db->CreateTableDef("BigDocCells");
        for (auto [name, type, size] : {std::tuple{"document_id", dbLong, 4},
                                        {"RowNo", dbLong, 4},
                                        {"ColNo", dbInteger, 2},
                                        {"CellValue", dbText, 255}}) {
            Field f = def.CreateField(name, type, size);
            f.AllowZeroLength = type == dbText;
            def.Fields.push_back(std::move(f));
        }
        Index pk = def.CreateIndex("PrimaryKey");
        for (const char* f : {"document_id", "RowNo", "ColNo"})
            pk.Fields.push_back(pk.CreateField(f));
        pk.Primary = true;
        pk.Unique = true;
        def.Indexes.push_back(pk);
        db->AppendTableDef(def);
        auto rs = db->OpenRecordset("BigDocCells", dbOpenTable);
        const int c0 = rs->FieldIndex("document_id"), c1 = rs->FieldIndex("RowNo"),
                  c2 = rs->FieldIndex("ColNo"), c3 = rs->FieldIndex("CellValue");
        for (int r = 0; r < rows; ++r) {
            rs->AddNew();
            rs->SetValue(c0, docId);
            rs->SetValue(c1, static_cast<int32_t>(r / 8 + 1));
            rs->SetValue(c2, static_cast<int16_t>(r % 8 + 1));
            rs->SetValue(c3, MakeCellValue(rng, r));
            rs->Update();
        }
        rs->Close();
        db->Close();
    }
    K5_TRAP("k5demo", "MakeBigDoc")
}

void MakeBigDocs(const DatabaseMaker& maker, const fs::path& folder, const ScaleParams& p, uint64_t seed,
                 const std::vector<int32_t>& docs, const std::vector<int32_t>& removed, Report& report) {
    try {
        fs::create_directories(folder);
        Rng rng(seed ^ 0xB16D0C5ULL);
        auto make = [&](int32_t docId, int n) {
            const std::string name = std::to_string(docId) + "_" + std::to_string(n) + ".mdb";
            MakeBigDoc(maker, (folder / name).string(), docId, p.BigDocRows, rng);
            report.BigDocsFiles.push_back(name);
            return name;
        };
        // Spread over the documents; every third one is split into two files.
        const size_t count = std::min(docs.size(), static_cast<size_t>(p.BigDocs));
        for (size_t i = 0; i < count; ++i) {
            const int32_t docId = docs[i * docs.size() / count];
            make(docId, 1);
            if (i % 3 == 2) make(docId, 2);
        }
        for (int k = 0; k < p.BigDocsOrphans; ++k)
            report.BigDocsOrphans.push_back(make(kGhostBase - 1000 + k * 7, 1));
        if (!removed.empty()) report.BigDocsLateOrphans.push_back(make(removed.front(), 1));
        std::ofstream txt(folder / "readme.txt", std::ios::binary);
        txt << "Файлы больших документов: <код документа>_<номер части>.mdb\r\n";
        report.BigDocsFiles.push_back("readme.txt");
    }
    K5_TRAP("k5demo", "MakeBigDocs")
}

} // namespace

double OleDate(int year, int month, int day) {
    // Days from the civil calendar (proleptic Gregorian), shifted to 1899-12-30.
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int yoe = year - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<double>(era * 146097 + doe - 719468 + 25569);
}

ScaleParams ParamsFor(ScaleKind kind) {
    switch (kind) {
    case ScaleKind::Tiny:
        return {2, 3, 3, 6, 2, 200, 300, 1, 2, 3, 2, 8};
    case ScaleKind::Small:
        return {60, 12, 40, 8, 12, 2000, 6000, 3, 4, 30, 4, 200};
    case ScaleKind::Large:
    default:
        return {1000, 20, 130, 30, 20, 4000, 6000, 10, 20, 200, 10, 2000};
    }
}

Report GenerateFolder(const std::string& dir, ScaleKind scale, uint64_t seed) {
    try {
        Report report;
        report.Version = std::to_string(kMajor) + "." + std::to_string(kMinor) + "." + std::to_string(kBuild);
        const ScaleParams p = ParamsFor(scale);
        const fs::path folder(dir);
        const std::string refPath = (folder / "Korund5_LastVer.mdb").string();
        const std::string mainPath = (folder / "Korund5.mdb").string();
        const DatabaseMaker maker(folder);

        {
            auto ref = maker.Create(refPath);
            CreateTables(*ref, false);
            FillReferenceRows(*ref);
            for (const auto& spec : Tables())
                report.RefRows.emplace_back(spec.Name, RowCount(*ref, spec.Name));
            ref->Close();
        }

        std::vector<int32_t> bigDocs, removed;
        {
            auto db = maker.Create(mainPath);
            CreateTables(*db, true);
            FillCommonTables(*db);
            MainBuilder builder(*db, p, seed, report);
            builder.Build();
            bigDocs = builder.BigDocCandidates;
            removed = builder.RemovedDocs;
            for (const auto& spec : Tables()) {
                if (spec.InMainFile) report.MainRows.emplace_back(spec.Name, RowCount(*db, spec.Name));
            }
            db->Close();
        }

        const DamageResult damage =
            BreakOverflowChain(mainPath, report.DamagedTable, report.DamagedField, report.DamagedId);
        report.DamagedPage = damage.Page;
        report.PageCount = damage.PageCount;

        MakeBigDocs(maker, folder / "BigDocs", p, seed, bigDocs, removed, report);
        report.MainBytes = static_cast<int64_t>(fs::file_size(mainPath));
        report.RefBytes = static_cast<int64_t>(fs::file_size(refPath));
        return report;
    }
    K5_TRAP("k5demo", "GenerateFolder")
}

} // namespace k5demo
