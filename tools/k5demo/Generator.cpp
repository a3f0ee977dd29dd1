#include "Generator.h"

#include "Damage.h"
#include "MainBuilder.h"
#include "Rows.h"
#include "RussianData.h"
#include "Schema.h"
#include "dbengine/DaoEngine.h"
#include "support/Error.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

namespace k5demo {
namespace {

using namespace k5::db;
namespace fs = std::filesystem;

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
