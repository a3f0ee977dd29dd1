// The main demo database: the orphans that the clean-up statements remove.
#include "MainBuilder.h"
#include "support/Error.h"

#include <algorithm>

namespace k5demo {

using k5::db::Database;

void MainBuilder::Orphans() {
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
        acc.BeginRow();
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

} // namespace k5demo
