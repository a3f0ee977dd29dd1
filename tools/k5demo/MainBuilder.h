#pragma once
// The main demo database: healthy data first, then the planted faults.
#include "Generator.h"
#include "Rows.h"
#include "RussianData.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace k5demo {

class MainBuilder {
public:
    MainBuilder(k5::db::Database& db, const ScaleParams& p, uint64_t seed, Report& report);

    void Build();

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

    // Organisations, their people, addresses and warrants (MainBuilder.cpp).
    int32_t Certificate(int docType, const std::string& issuer);
    int32_t Address();
    int32_t PfrAddress();
    int32_t Person(int type, int32_t realId, const std::string& name, const std::string& inn);
    // A natural person with passport and home address; returns its NaturalPerson id.
    int32_t NaturalPerson(const PersonName& n, const std::string& inn, bool accountant);
    int32_t WarSubject(int type, const std::string& name, const std::string& inn, bool withPassport);
    int32_t AccStream(int32_t personId, const std::string& name, bool dropName);
    void Organisation(int o);
    void PfrPerson(int32_t personId, const PersonName& n);
    int32_t Warrant(int32_t personnelId, int32_t principal, int32_t agent);
    int32_t WarPower(int32_t warrantId);
    void WarPermission(int32_t powerId);

    // Notes, permissions, documents with what hangs on them, and courier mail (MainDocuments.cpp).
    void TextBlob(int32_t streamId, const std::string& text);
    // One note per stream; the note in the middle is the one whose storage gets broken.
    void TextBlobs();
    int32_t PermBlock(int blockType, int areaType, int32_t objectId, const std::string& name);
    void PermObjectList(int32_t blockId, int32_t objectId);
    void Permissions();
    int32_t CourBlob(size_t bytes);
    size_t BlobSize(int typical) { return static_cast<size_t>(mRng.Range(typical / 2, typical * 3 / 2)); }
    int32_t StoredFile(const std::string& name);
    void Attachment(int32_t docId, int32_t storedFile, const std::string& name);
    void Cells(int32_t docId, int count);
    int32_t SubDoc(int32_t docId, int cells);
    void PfrCell(int32_t subDocId, int c);
    void PfrError(int32_t subDocId);
    void Circle(int32_t docId, int no);
    // A document with its cells, attachments, pension fund sub-documents and circles.
    int32_t Document(const Stream& s, int index, DocFault fault);
    void Courier();

    // The planted faults (MainOrphans.cpp).
    void Planted(const char* table, int n = 1) { mReport.Orphans[table] += n; }
    int32_t Ghost() { return kGhostBase + ++mGhosts; }
    // Rows that the clean-up statements delete, each kind `Orphans` times; the counts in the
    // report are the planted rows only, not the rows that go with them.
    void Orphans();

    k5::db::Database& mDb;
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

} // namespace k5demo
