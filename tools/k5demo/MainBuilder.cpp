// The main demo database: organisations, their people, addresses and warrants.
#include "MainBuilder.h"
#include "support/Error.h"

#include <algorithm>

namespace k5demo {

using k5::db::Database;

MainBuilder::MainBuilder(Database& db, const ScaleParams& p, uint64_t seed, Report& report)
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

void MainBuilder::Build() {
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

int32_t MainBuilder::Certificate(int docType, const std::string& issuer) {
    Writer& w = W("Certificate");
    const int32_t id = w.BeginRow();
    w.Set("DocType", I(docType));
    w.Set("Series", S(docType == 21 ? mRng.Digits(2) + " " + mRng.Digits(2) : std::string()));
    w.Set("Number", S(mRng.Digits(docType == 21 ? 6 : 9)));
    w.Set("IssueDate", D(OleDate(2005, 1, 1) + static_cast<double>(mRng.Range(0, 6000))));
    w.Set("IssuedBy", S(issuer));
    if (docType == 21) w.Set("DivisionCode", S(mRng.Digits(3) + "-" + mRng.Digits(3)));
    w.Put();
    return id;
}

int32_t MainBuilder::Address() {
    Writer& w = W("Address");
    const AddressParts a = MakeAddress(mRng);
    const int32_t id = w.BeginRow();
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

int32_t MainBuilder::PfrAddress() {
    Writer& w = W("PfrAddress");
    const AddressParts a = MakeAddress(mRng);
    const int32_t id = w.BeginRow();
    w.Set("PostIndex", S(a.PostIndex));
    w.Set("RegionCode", S(mRng.Digits(2)));
    w.Set("FullAddress", S(a.Full()));
    w.Put();
    return id;
}

int32_t MainBuilder::Person(int type, int32_t realId, const std::string& name, const std::string& inn) {
    Writer& w = W("Person");
    const int32_t id = w.BeginRow();
    w.Set("Type", B(type));
    w.Set("PersonRealId", L(realId));
    w.Set("Name", S(name));
    w.Set("Inn", S(inn));
    w.Put();
    return id;
}

int32_t MainBuilder::NaturalPerson(const PersonName& n, const std::string& inn, bool accountant) {
    const int32_t passport = Certificate(21, MakeIssuer(mRng));
    const int32_t home = Address();
    const int32_t accDoc = accountant ? Certificate(91, "Институт профессиональных бухгалтеров России") : 0;
    const int32_t pboul = mRng.Chance(5) ? Certificate(24, "ИФНС России № 7") : 0;
    const int32_t abroad = mRng.Chance(3) ? Address() : 0;
    Writer& w = W("NaturalPerson");
    const int32_t id = w.BeginRow();
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

int32_t MainBuilder::WarSubject(int type, const std::string& name, const std::string& inn,
                                bool withPassport) {
    const int32_t passport = withPassport ? Certificate(21, MakeIssuer(mRng)) : 0;
    const int32_t address = Address();
    Writer& w = W("WarSubjects");
    const int32_t id = w.BeginRow();
    w.Set("SubjectType", B(type));
    w.Set("Name", S(name));
    w.Set("Inn", S(inn));
    if (passport) w.Set("PassportID", L(passport));
    w.Set("AddressId", L(address));
    w.Put();
    return id;
}

int32_t MainBuilder::AccStream(int32_t personId, const std::string& name, bool dropName) {
    Writer& w = W("AccStream");
    const int32_t id = w.BeginRow();
    w.Set("PersonId", L(personId));
    if (!dropName) w.Set("Name", S(name));
    w.Set("StreamType", I(static_cast<int>(mRng.Range(0, 2))));
    w.Set("OpenedOn", D(RecentDate()));
    w.Set("TaxOffice", S(mRng.Digits(4)));
    w.Put();
    return id;
}

void MainBuilder::Organisation(int o) {
    Org org;
    const std::string name = MakeOrganisationName(mRng);
    const std::string inn = Inn(mRng, true);
    const int32_t reg = Address();
    const int32_t ctrl = mRng.Chance(30) ? Address() : reg;
    const int32_t cert = Certificate(26, MakeIssuer(mRng));
    Writer& lp = W("LegalPerson");
    const int32_t lpId = lp.BeginRow();
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
        acc.BeginRow();
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
        br.BeginRow();
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
        const int32_t plId = pl.BeginRow();
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

void MainBuilder::PfrPerson(int32_t personId, const PersonName& n) {
    const int32_t passport = Certificate(21, MakeIssuer(mRng));
    const int32_t reg = PfrAddress();
    const int32_t actual = mRng.Chance(30) ? PfrAddress() : reg;
    Writer& w = W("PfrPersons");
    w.BeginRow();
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

int32_t MainBuilder::Warrant(int32_t personnelId, int32_t principal, int32_t agent) {
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

int32_t MainBuilder::WarPower(int32_t warrantId) {
    Writer& w = W("WarPowers");
    const int32_t id = w.BeginRow();
    w.Set("Warrant_Id", L(warrantId));
    w.Set("PowerCode", S(mRng.Digits(5)));
    w.Set("Description", S(MakePowerText(mRng)));
    w.Put();
    for (int k = 0, n = static_cast<int>(mRng.Range(1, 2)); k < n; ++k)
        WarPermission(id);
    return id;
}

void MainBuilder::WarPermission(int32_t powerId) {
    Writer& w = W("WarPermissions");
    w.BeginRow();
    w.Set("WarPower_Id", L(powerId));
    w.Set("PermissionCode", S("PRM" + mRng.Digits(3)));
    w.Set("Granted", mRng.Chance(80));
    w.Put();
}

} // namespace k5demo
