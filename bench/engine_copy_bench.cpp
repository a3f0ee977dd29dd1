// Engine benchmark: builds a source table and copies it row by row through the engine's
// row interface, the way the maintenance copies tables.
//   engine_copy_bench make <file> <rows>
//   engine_copy_bench copy <source> <target>
#include "dbengine/DaoEngine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace k5;
using namespace k5::db;

namespace {

TableDef DocsDef(Database& db) {
    TableDef t = db.CreateTableDef("Docs");
    t.Fields = {t.CreateField("Id", dbLong),       t.CreateField("DocumentId", dbLong),
                t.CreateField("Name", dbText, 50), t.CreateField("Amount", dbCurrency),
                t.CreateField("Created", dbDate),  t.CreateField("Flag", dbBoolean),
                t.CreateField("Note", dbMemo)};
    t.Fields[2].Required = true;
    Index pk = t.CreateIndex("PrimaryKey");
    pk.Fields.push_back(pk.CreateField("Id"));
    pk.Primary = true;
    Index byDoc = t.CreateIndex("ByDocument");
    byDoc.Fields.push_back(byDoc.CreateField("DocumentId"));
    t.Indexes = {pk, byDoc};
    return t;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Make(const std::string& path, long rows) {
    auto db = DBEngine::Instance().CreateDatabase(path, dbLangCyrillic);
    db->AppendTableDef(DocsDef(*db));
    db->Execute(
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " + std::to_string(rows) +
        ") INSERT INTO Docs SELECT x, x % 50000, 'Документ № ' || x, x * 1370000, 45000.0 + x / 1440.0,"
        " x % 2, 'примечание ' || hex(randomblob(12)) FROM c");
    db->Close();
    return 0;
}

int Copy(const std::string& source, const std::string& target) {
    auto& engine = DBEngine::Instance();
    const auto start = std::chrono::steady_clock::now();
    auto src = engine.OpenDatabase(source, true, true);
    auto dst = engine.CreateDatabase(target, dbLangCyrillic);
    dst->AppendTableDef(src->GetTableDef("Docs"));
    auto in = src->OpenRecordset("Docs", dbOpenTable);
    auto out = dst->OpenRecordset("Docs", dbOpenTable);
    const int64_t total = in->RecordCount();
    int64_t copied = 0, damaged = 0, refused = 0;
    for (in->MoveFirst(); !in->IsEOF(); in->MoveNext()) {
        bool bad = false;
        for (int i = 0; i < in->FieldCount() && !bad; ++i) {
            try {
                in->GetValue(i);
            } catch (const EngineError&) {
                bad = true;
            }
        }
        if (bad) {
            ++damaged;
            continue;
        }
        out->AddNew();
        for (int i = 0; i < out->FieldCount(); ++i) {
            const int k = in->FieldIndex(out->FieldInfo(i).Name); // by name, as the maintenance does
            if (k >= 0) out->SetValue(i, in->GetValue(k));
        }
        try {
            out->Update();
            ++copied;
        } catch (const EngineError&) {
            out->CancelUpdate();
            ++refused;
        }
    }
    const double rowsDone = Seconds(start);
    out->Close();
    in->Close();
    dst->Close(); // builds the secondary index and commits
    src->Close();
    std::printf("rows=%lld copied=%lld damaged=%lld refused=%lld rows_s=%.2f total_s=%.2f\n",
                static_cast<long long>(total), static_cast<long long>(copied),
                static_cast<long long>(damaged), static_cast<long long>(refused), rowsDone, Seconds(start));
    return copied == total ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "make" && argc == 4) return Make(argv[2], std::atol(argv[3]));
        if (mode == "copy" && argc == 4) return Copy(argv[2], argv[3]);
        std::fprintf(stderr, "usage: engine_copy_bench make <file> <rows> | copy <source> <target>\n");
        return 2;
    } catch (const K5Error& e) {
        std::fprintf(stderr, "error %d: %s\n", e.Number(), e.Description().c_str());
        return 1;
    }
}
