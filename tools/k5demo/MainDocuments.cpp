// The main demo database: notes, permissions, documents with their cells, files and circles,
// and courier mail.
#include "MainBuilder.h"
#include "support/Error.h"

#include <algorithm>

namespace k5demo {

using k5::db::Database;

void MainBuilder::TextBlob(int32_t streamId, const std::string& text) {
    Writer& w = W("TextBlobs");
    w.BeginRow();
    w.Set("AccStreamId", L(streamId));
    w.Set("TextKind", I(static_cast<int>(mRng.Range(1, 3))));
    w.Set("Content", S(text));
    w.Set("ChangedOn", D(Stamp()));
    w.Put();
}

void MainBuilder::TextBlobs() {
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

int32_t MainBuilder::PermBlock(int blockType, int areaType, int32_t objectId, const std::string& name) {
    Writer& w = W("PermBlocks");
    const int32_t id = w.BeginRow("ID");
    w.Set("BlockType", I(blockType));
    w.Set("AreaType", I(areaType));
    w.Set("PermObjectID", L(objectId));
    w.Set("Name", S(name));
    w.Put();
    return id;
}

void MainBuilder::PermObjectList(int32_t blockId, int32_t objectId) {
    Writer& w = W("PermObjectLists");
    w.BeginRow();
    w.Set("BlockID", L(blockId));
    w.Set("PermObjectID", L(objectId));
    w.Put();
}

void MainBuilder::Permissions() {
    PermBlock(1, 1, 0, "Администраторы");
    PermBlock(2, 1, 0, "Бухгалтерия");
    for (const auto& s : mStreams) {
        const int32_t block = PermBlock(5, 2, s.Id, "Доступ к учётному потоку " + std::to_string(s.Id));
        PermObjectList(block, s.Id);
    }
}

int32_t MainBuilder::CourBlob(size_t bytes) {
    Writer& w = W("CourBlobs");
    const int32_t id = w.BeginRow();
    w.Set("BlobSize", L(static_cast<int64_t>(bytes)));
    w.Set("Content", RandomBytes(mRng, bytes));
    w.Set("CreatedOn", D(Stamp()));
    w.Put();
    return id;
}

int32_t MainBuilder::StoredFile(const std::string& name) {
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

void MainBuilder::Attachment(int32_t docId, int32_t storedFile, const std::string& name) {
    Writer& w = W("DOC_Attachments");
    w.BeginRow();
    w.Set("DocumentId", L(docId));
    w.Set("StoredFileId", L(storedFile));
    w.Set("FileName", S(name));
    w.Set("AttachedOn", D(Stamp()));
    w.Put();
}

void MainBuilder::Cells(int32_t docId, int count) {
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

int32_t MainBuilder::SubDoc(int32_t docId, int cells) {
    Writer& w = W("PfrSubDocs");
    const int32_t id = w.BeginRow();
    w.Set("DocumentId", L(docId));
    w.Set("SubDocType", I(static_cast<int>(mRng.Range(1, 3))));
    w.Set("PersonsCount", L(mRng.Range(1, 40)));
    w.Set("Name", S("Пачка сведений № " + std::to_string(id)));
    w.Put();
    for (int c = 0; c < cells; ++c)
        PfrCell(id, c);
    return id;
}

void MainBuilder::PfrCell(int32_t subDocId, int c) {
    Writer& w = W("PfrCellValues");
    w.BeginRow();
    w.Set("SubDocId", L(subDocId));
    w.Set("CellCode", S("R" + std::to_string(c / 3 + 1) + "C" + std::to_string(c % 3 + 1)));
    w.Set("CellValue", S(MakeCellValue(mRng, c)));
    w.Put();
}

void MainBuilder::PfrError(int32_t subDocId) {
    Writer& w = W("PfrErrors");
    w.BeginRow();
    w.Set("SubDocId", L(subDocId));
    w.Set("ErrorCode", S("50" + mRng.Digits(2)));
    w.Set("ErrorText", S(MakeErrorText(mRng)));
    w.Set("Severity", B(static_cast<int>(mRng.Range(1, 2))));
    w.Set("CheckedOn", D(Stamp()));
    w.Put();
}

void MainBuilder::Circle(int32_t docId, int no) {
    const int32_t text = CourBlob(BlobSize(mP.BlobBytes));
    const int32_t html = CourBlob(BlobSize(mP.BlobBytes / 2));
    const int32_t ticket = CourBlob(BlobSize(mP.BlobBytes / 8));
    Writer& w = W("FssDocCircles");
    w.BeginRow();
    w.Set("DocumentId", L(docId));
    w.Set("CircleNo", I(no));
    w.Set("DocText_BlobID", L(text));
    w.Set("LastHtml_BlobID", L(html));
    w.Set("Ticket_BlobID", L(ticket));
    w.Set("SentOn", D(Stamp()));
    w.Set("State", I(static_cast<int>(mRng.Range(0, 3))));
    w.Put();
}

int32_t MainBuilder::Document(const Stream& s, int index, DocFault fault) {
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

void MainBuilder::Courier() {
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
        part.BeginRow();
        part.Set("MessageId", L(id));
        part.Set("PartName", S("ON_NO_" + mRng.Digits(8) + ".xml"));
        part.Set("ContentBlob_ID", L(CourBlob(BlobSize(mP.BlobBytes / 4))));
        part.Put();
        Writer& sig = W("CourSignatures");
        const int32_t key = CourBlob(256);
        const int32_t signature = CourBlob(512);
        sig.BeginRow();
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
        w.BeginRow();
        w.Set("Thumbprint", S(mRng.Digits(20) + mRng.Digits(20)));
        w.Set("OwnerName", S(MakePersonName(mRng).Full()));
        w.Set("Content_Blob_ID", L(blob));
        w.Set("ValidTo", D(RecentDate() + 365));
        w.Put();
    }
}

} // namespace k5demo
