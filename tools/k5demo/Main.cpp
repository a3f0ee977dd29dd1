// k5demo DIR --scale tiny|small|large --seed N
// Makes a demo database folder: reference and main database with planted faults, and BigDocs.
#include "Generator.h"
#include "Schema.h"
#include "support/Error.h"

#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace k5demo;

namespace {

constexpr const char* kMarker = ".k5demo";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "k5demo: %s\nusage: k5demo DIR --scale tiny|small|large --seed N\n",
                 problem.c_str());
    return 2;
}

struct Args {
    std::string Dir;
    ScaleKind Scale = ScaleKind::Tiny;
    std::string ScaleName;
    uint64_t Seed = 0;
};

// Returns an empty text when the arguments are sound, else the problem.
std::string Parse(int argc, char** argv, Args& a) {
    bool haveScale = false, haveSeed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--scale" || arg == "--seed") {
            if (i + 1 >= argc) return "missing value after " + arg;
            const std::string v = argv[++i];
            if (arg == "--scale") {
                if (v == "tiny")
                    a.Scale = ScaleKind::Tiny;
                else if (v == "small")
                    a.Scale = ScaleKind::Small;
                else if (v == "large")
                    a.Scale = ScaleKind::Large;
                else
                    return "unknown scale \"" + v + "\" (tiny, small or large)";
                a.ScaleName = v;
                haveScale = true;
            } else {
                const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), a.Seed);
                if (ec != std::errc() || end != v.data() + v.size() || v.empty())
                    return "the seed must be a whole number from 0 to 18446744073709551615, not \"" + v +
                           "\"";
                haveSeed = true;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (a.Dir.empty()) {
            a.Dir = arg;
        } else {
            return "more than one folder given";
        }
    }
    if (a.Dir.empty()) return "no folder given";
    if (!haveScale) return "--scale is required";
    if (!haveSeed) return "--seed is required";
    return {};
}

// A folder that already holds database files is overwritten only when this tool made it.
std::string PrepareFolder(const fs::path& dir) {
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        return dir.string() + " exists and is not a folder";
    fs::create_directories(dir, ec);
    if (ec) return "cannot create " + dir.string() + ": " + ec.message();
    const bool ours = fs::exists(dir / kMarker);
    for (const char* name : {"Korund5.mdb", "Korund5_LastVer.mdb", "BigDocs"}) {
        if (!fs::exists(dir / name)) continue;
        if (!ours)
            return dir.string() + " already holds " + name + " not made by k5demo; choose an empty folder";
        fs::remove_all(dir / name, ec);
        if (ec) return "cannot remove " + (dir / name).string() + ": " + ec.message();
    }
    std::ofstream(dir / kMarker) << "made by k5demo\n";
    return {};
}

void PrintSummary(const Args& a, const Report& r) {
    std::printf("k5demo: folder %s, scale %s, seed %llu\n", a.Dir.c_str(), a.ScaleName.c_str(),
                static_cast<unsigned long long>(a.Seed));
    std::printf("version: %s (main and reference)\n", r.Version.c_str());
    int listed = 0, fromRef = 0;
    for (const auto& t : Tables()) {
        if (!t.Listed) continue;
        ++listed;
        fromRef += t.ListType == 0;
    }
    std::printf(
        "reference: Korund5_LastVer.mdb, %zu tables, ListTbl %d names (%d from source, %d from reference), "
        "%lld bytes\n",
        r.RefRows.size(), listed, listed - fromRef, fromRef, static_cast<long long>(r.RefBytes));
    int64_t total = 0;
    for (const auto& [name, n] : r.MainRows)
        total += n;
    std::printf("main: Korund5.mdb, %zu tables, %lld rows, %lld bytes\n", r.MainRows.size(),
                static_cast<long long>(total), static_cast<long long>(r.MainBytes));
    for (const auto& [name, n] : r.MainRows)
        std::printf("  table %s: %lld rows\n", name.c_str(), static_cast<long long>(n));
    for (const auto& [name, n] : r.RefRows) {
        if (n > 0) std::printf("  reference table %s: %lld rows\n", name.c_str(), static_cast<long long>(n));
    }
    std::printf("orphans planted (rows that depend on them go too):");
    for (const auto& [name, n] : r.Orphans)
        std::printf(" %s %d;", name.c_str(), n);
    std::printf("\n");
    std::printf("duplicates: %s.Inn in %d rows (index %s unique only in the reference)\n", kLooseUniqueTable,
                r.Duplicates, kLooseUniqueIndex);
    std::printf("required: %s.%s empty in %d rows (required only in the reference)\n", kLooseRequiredTable,
                kLooseRequiredField, r.RequiredNulls);
    std::printf("damaged: %s row %lld (Id %d), field %s, %lld bytes, overflow page %u of %u broken\n",
                r.DamagedTable.c_str(), static_cast<long long>(r.DamagedPosition), r.DamagedId,
                r.DamagedField.c_str(), static_cast<long long>(r.DamagedBytes), r.DamagedPage, r.PageCount);
    std::printf("missing from source: %s\n", kMissingTable);
    std::printf("bigdocs: %zu files;", r.BigDocsFiles.size());
    std::printf(" orphans:");
    for (const auto& n : r.BigDocsOrphans)
        std::printf(" %s", n.c_str());
    std::printf("; orphan after clean-up:");
    for (const auto& n : r.BigDocsLateOrphans)
        std::printf(" %s", n.c_str());
    std::printf("; not a database: readme.txt\n");
}

} // namespace

int main(int argc, char** argv) {
    Args a;
    if (const std::string problem = Parse(argc, argv, a); !problem.empty()) return Usage(problem);
    try {
        if (const std::string problem = PrepareFolder(a.Dir); !problem.empty()) {
            std::fprintf(stderr, "k5demo: %s\n", problem.c_str());
            return 1;
        }
        const Report r = GenerateFolder(a.Dir, a.Scale, a.Seed);
        PrintSummary(a, r);
        return 0;
    } catch (const k5::K5Error& e) {
        std::string text = e.Description();
        for (size_t at; (at = text.find('\r')) != std::string::npos;)
            text.erase(at, 1);
        std::fprintf(stderr, "k5demo: failed (error %d):\n%s\n", e.Number(), text.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "k5demo: %s\n", e.what());
    }
    return 1;
}
