#pragma once
// Builds the demo database folder: the reference database, the main database with its
// planted faults, and the BigDocs folder.
#include "Rng.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace k5demo {

enum class ScaleKind { Tiny, Small, Large };

struct ScaleParams {
    int Orgs;             // organisations served by the accounting program
    int WorkersPerOrg;    // employees of each organisation
    int DocsPerStream;    // documents of each accounting stream
    int CellsPerDoc;      // report cells of each document
    int PfrPersonsPerOrg; // insured persons in the pension fund reports
    int BlobBytes;        // typical size of a courier blob
    int FileBytes;        // typical size of an attached file
    int Orphans;          // planted orphans per clean-up statement
    int Duplicates;       // rows that break the reference's unique index
    int BigDocs;          // per-document files of existing documents
    int BigDocsOrphans;   // per-document files of missing documents
    int BigDocRows;       // rows in each per-document file
};

ScaleParams ParamsFor(ScaleKind kind);

// What was made, for the summary.
struct Report {
    std::string Version;
    std::vector<std::pair<std::string, int64_t>> MainRows; // per table, in list order
    std::vector<std::pair<std::string, int64_t>> RefRows;
    std::map<std::string, int> Orphans; // planted rows per clean-up target table
    int Duplicates = 0;
    int RequiredNulls = 0;
    std::string DamagedTable;
    std::string DamagedField;
    int64_t DamagedPosition = 0; // 1-based, in table order
    int32_t DamagedId = 0;
    int64_t DamagedBytes = 0;
    uint32_t DamagedPage = 0;
    uint32_t PageCount = 0;
    std::vector<std::string> BigDocsFiles;       // all names made in BigDocs
    std::vector<std::string> BigDocsOrphans;     // document missing from the main file
    std::vector<std::string> BigDocsLateOrphans; // document that the clean-up removes
    int64_t MainBytes = 0;
    int64_t RefBytes = 0;
};

// Makes the folder (which must exist). Throws std::runtime_error or k5::K5Error on failure.
Report GenerateFolder(const std::string& dir, ScaleKind scale, uint64_t seed);

// Days since 1899-12-30 for a calendar date.
double OleDate(int year, int month, int day);

} // namespace k5demo
