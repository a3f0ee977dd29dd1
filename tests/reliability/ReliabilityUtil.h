#pragma once
// Shared pieces of the reliability suite: the built program run as a child process with
// its own trash and settings, demo folders made once and copied per case, and the checks
// of what a database folder holds afterwards.
#include "dbengine/DaoEngine.h"

#include "common/TestUtil.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace k5rel {

// K5_RELIABILITY_SCALE=0 (or unset) is the CI size; a larger number multiplies the sampled
// cases, and "all" (or any value of 1000 and more) sweeps every case.
int Scale();
bool FullSweep();
// How many cases of a sweep are prepared and checked at a time.
inline constexpr size_t kSlice = 96;

struct ChildResult {
    bool exited = false; // ended by exit()
    int code = -1;       // exit code when exited
    int signal = 0;      // the signal that ended it
    bool timedOut = false;
    double seconds = 0;
    std::string out, err;
};

// Runs argv with the current environment plus `env` (NAME=value), standard input from
// /dev/null, output into files; a child still running after timeoutSeconds is killed.
// With uid >= 0 the child drops to that user and group first (tests that need permissions
// to bite when the suite runs as root).
ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     double timeoutSeconds, const std::string& scratch, int uid = -1);

// A scratch root with the folder "База данных" and the program's trash and settings.
class Sandbox {
public:
    Sandbox();
    std::string root, folder, mainFile, protocolFolder, trashFiles;
    int runAsUid = -1; // see RunChild
    // Runs the headless program on `folder` with the given extra flags and environment.
    ChildResult Run(const std::string& flags, const std::vector<std::string>& env = {}, double timeout = 120);
    // A copy of a demo folder made once per test program for the seed.
    void FillFromDemo(int seed = 1);
    // A copy of the demo folder after one repair run (protocol folder and trash cleared),
    // with one value larger than a page: a healthy main file that a run replaces.
    void FillHealthy();
    // A copy of another sandbox's database folder.
    void FillFrom(const Sandbox& other);

private:
    QTemporaryDir mTemp;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
std::vector<std::string> Files(const std::string& dir);

// Every row of every user table, as exact bytes (type tag + value per column), per table.
using RowSet = std::map<std::string, std::multiset<std::string>>;
// Nothing when the file cannot be opened as a database at all.
std::optional<RowSet> ReadRows(const std::string& path);
// The engine's integrity check: empty when sound; a text for a damaged or unreadable file.
std::string Integrity(const std::string& path);

// The places that may hold the old main file after a run: each whose bytes equal `original`.
std::vector<std::string> PlacesHolding(const Sandbox& s, const std::string& original);

// Name -> bytes of the backups a run leaves (archives and files under the backup name).
std::map<std::string, std::string> Backups(const Sandbox& s);

// Every archive in the protocol folder passes the zip test.
std::string BrokenArchives(const Sandbox& s);

// The fault log of a run: the file-changing calls ("fs N what") and the entry count.
struct FaultLog {
    std::vector<std::string> calls; // calls[i] is the kind of call i + 1
    int64_t entries = 0;
};
FaultLog ReadFaultLog(const std::string& path);

// Picks at most `count` numbers of 1..n, spread evenly, always with 1 and n.
std::vector<int64_t> Spread(int64_t n, int count);

// Runs fn(i) for i in [0, n) on a few threads: the runs mostly wait (pauses, fsync).
// fn must not use the engine: the checks run on the calling thread afterwards.
void Parallel(size_t n, const std::function<void(size_t)>& fn);

} // namespace k5rel
