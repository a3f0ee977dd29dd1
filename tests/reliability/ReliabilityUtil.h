#pragma once
// The reliability suite's sandboxes with the built program run in them, and the checks of
// what a database folder holds afterwards.
#include "dbengine/DaoEngine.h"
#include "support/Error.h"

#include "common/TestUtil.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef K5_FAULTS_PROGRAM
#define K5_FAULTS_PROGRAM ""
#endif
#ifndef K5_DEMO_TOOL
#define K5_DEMO_TOOL ""
#endif

namespace k5rel {

namespace fs = std::filesystem;
using k5test::Quote;

// K5_RELIABILITY_SCALE=0 (or unset) is the CI size; a larger number multiplies the sampled
// cases, and "all" (or any value of 1000 and more) sweeps every case.
inline int Scale() {
    const char* v = std::getenv("K5_RELIABILITY_SCALE");
    return v == nullptr ? 0 : std::string(v) == "all" ? 1000 : std::atoi(v);
}
// The demo folder's size: tiny, unless K5_RELIABILITY_DEMO_SCALE names another.
inline std::string DemoScale() {
    const char* scale = std::getenv("K5_RELIABILITY_DEMO_SCALE");
    return scale && *scale ? scale : "tiny";
}
inline bool FullSweep() {
    return Scale() >= 1000;
}

inline constexpr auto& ReadFile = k5test::ReadAll;
inline constexpr auto& WriteFile = k5test::WriteAll;

// The names in dir that are no folders (links as they are), sorted.
inline std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.symlink_status().type() != fs::file_type::directory) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

struct ChildResult {
    bool exited = false; // ended by exit()
    int code = -1;       // exit code when exited
    int signal = 0;      // the signal that ended it
    bool timedOut = false;
    std::string out, err;
};

// Memory-backed scratch space when there is one: the runs flush often, and the cases are
// about the order of file operations, not about the disk.
inline QString ScratchBase() {
    if (const char* v = std::getenv("K5_RELIABILITY_TMP"); v != nullptr && *v != '\0') return v;
    return ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : QString::fromStdString(fs::temp_directory_path());
}

// The program under test: the test build of the program beside the suite (the installed
// program's sources on an Env that reads the K5_TEST_* variables), or K5_RELIABILITY_PROGRAM
// (to show that a test fails with an earlier build).
inline std::string Program() {
    const char* v = std::getenv("K5_RELIABILITY_PROGRAM");
    return v != nullptr && *v != '\0' ? v : K5_FAULTS_PROGRAM;
}

// A database opened through the library directly, to inspect it or plant damage.
class Db {
public:
    // A file that cannot be opened leaves a handle on which every statement fails.
    explicit Db(const std::string& path, bool write = false) {
        sqlite3_open_v2(path.c_str(), &mDb, write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, nullptr);
    }
    ~Db() { sqlite3_close(mDb); }
    // Steps through sql calling row(st) per row; true when it ran to the end.
    bool Each(const std::string& sql, const std::function<void(sqlite3_stmt*)>& row = {}) const {
        sqlite3_stmt* st = nullptr;
        int rc = mDb == nullptr ? SQLITE_ERROR : sqlite3_prepare_v2(mDb, sql.c_str(), -1, &st, nullptr);
        if (rc == SQLITE_OK)
            while ((rc = sqlite3_step(st)) == SQLITE_ROW)
                if (row) row(st);
        sqlite3_finalize(st);
        return rc == SQLITE_DONE;
    }
    // The first column of every row as text.
    std::vector<std::string> Column(const std::string& sql) const {
        std::vector<std::string> out;
        Each(sql, [&](sqlite3_stmt* st) { out.emplace_back((const char*)sqlite3_column_text(st, 0)); });
        return out;
    }

private:
    sqlite3* mDb = nullptr;
};

// A scratch root with the folder "База данных" and the program's trash and settings.
class Sandbox {
public:
    Sandbox() : mTemp(ScratchBase() + "/k5rel-XXXXXX") {
        root = mTemp.path().toStdString();
        // For diagnosis: the sandboxes stay for a look afterwards.
        if (std::getenv("K5_RELIABILITY_KEEP") != nullptr) mTemp.setAutoRemove(false);
        SetFolder(root + "/База данных", root + "/data");
        for (const std::string& dir : {folder, data, root + "/etc/Seltaris"})
            fs::create_directories(dir);
        WriteFile(root + "/etc/Seltaris/Korund5.conf", "[General]\n");
    }
    std::string root, folder, mainFile, protocolFolder, data, trashFiles;
    int runAsUid = -1;                // see Run
    std::vector<std::string> wrapper; // what the program runs under

    void SetFolder(const std::string& databaseFolder, const std::string& dataHome) {
        folder = databaseFolder;
        mainFile = folder + "/Korund5.mdb";
        protocolFolder = folder + "/Профилактика_БД";
        data = dataHome;
        trashFiles = dataHome + "/Trash/files";
    }
    // Starts the headless program on `folder` with the given extra flags and environment, as
    // runAsUid when set (permissions bite only for an ordinary user); its output goes to
    // files named by `tag` in the root (standard output into a closed pipe with closedStdout).
    pid_t Start(const std::string& flags, const std::vector<std::string>& env = {},
                const std::string& tag = "child") {
        // sh sets the streams, setpriv the user, env the variables, each replacing itself by the next.
        const std::string streams =
            "</dev/null 2>\"$0/" + tag + ".err\"" + (closedStdout ? "" : " >\"$0/" + tag + ".out\"");
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" " + streams, root};
        const std::string uid = std::to_string(runAsUid);
        if (runAsUid >= 0)
            argv.insert(argv.end(), {"setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups"});
        argv.insert(argv.end(), {"/usr/bin/env", "XDG_DATA_HOME=" + data, "XDG_CONFIG_DIRS=" + root + "/etc",
                                 "QT_QPA_PLATFORM=offscreen", "HOME=" + root, "K5_TEST_SHORT_PAUSES=1"});
        argv.insert(argv.end(), env.begin(), env.end());
        argv.insert(argv.end(), wrapper.begin(), wrapper.end());
        argv.insert(argv.end(), {Program(), "--batch", "--folder", runFolder.empty() ? folder : runFolder});
        std::istringstream in(flags);
        for (std::string f; in >> f;)
            argv.push_back(f);
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        int pipeFds[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (closedStdout && ::pipe(pipeFds) == 0) {
            ::close(pipeFds[0]); // nobody will ever read
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        }
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        if (pipeFds[1] >= 0) ::close(pipeFds[1]);
        return pid;
    }
    // Waits for a started child; killed after `timeout` s.
    ChildResult Wait(pid_t pid, const std::string& tag = "child", double timeout = 120) {
        ChildResult r;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        int status = 0;
        for (; pid > 0 && ::waitpid(pid, &status, WNOHANG) != pid;
             std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            if (!r.timedOut && std::chrono::steady_clock::now() > deadline) {
                r.timedOut = true;
                ::kill(pid, SIGKILL);
            }
        r.exited = pid > 0 && WIFEXITED(status);
        r.code = r.exited ? WEXITSTATUS(status) : -1;
        r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        r.out = ReadFile(root + "/" + tag + ".out");
        r.err = ReadFile(root + "/" + tag + ".err");
        return r;
    }
    ChildResult Run(const std::string& flags, const std::vector<std::string>& env = {},
                    double timeout = 120) {
        return Wait(Start(flags, env), "child", timeout);
    }
    bool closedStdout = false;
    std::string runFolder; // the database folder as the program sees it, when not `folder`

    // The database folder on a disk of its own (an ext4 image mounted in the run's mount
    // namespace), the home trash on the scratch file system: the old main file reaches a
    // trash only through the disk's own. Each run copies the disk's state to "after", where
    // `folder` and `trashFiles` point. Root only; false when loop mounts are not possible.
    bool OnDiskOfItsOwn() {
        static const bool possible =
            ::geteuid() == 0 &&
            k5test::Shell("cd \"$(mktemp -d)\" && truncate -s 8M i && mkfs.ext4 -q -F i && "
                          "mkdir m && unshare -m sh -c 'mount -o loop i m && umount m' && "
                          "echo ok; rm -rf \"$PWD\"") == "ok\n";
        if (!possible) return false;
        // The mount point lies outside /dev/shm: the trash takes nothing from there.
        mMountPoint = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/k5reldisk-XXXXXX");
        const std::string image = root + "/disk.img", mount = mMountPoint->path().toStdString(),
                          after = root + "/after";
        k5test::Shell("truncate -s 64M " + Quote(image) + " && mkfs.ext4 -q -F " + Quote(image));
        runFolder = mount + "/База данных";
        SetFolder(after + "/База данных", data);
        fs::create_directories(folder);
        trashFiles = after + "/.Trash-0/files";
        // A run killed with SIGKILL is reported so after the copy.
        const std::string script =
            "img=$0 mnt=$1 after=$2; shift 2; mount -o loop \"$img\" \"$mnt\" || exit 99; "
            "[ -e \"$mnt/.k5disk\" ] || { cp -a \"$after\"/. \"$mnt\"/ && touch \"$mnt/.k5disk\"; }; "
            "\"$@\"; code=$?; rm -rf \"$after\"; cp -a \"$mnt\" \"$after\"; umount \"$mnt\"; "
            "[ $code -ne 137 ] || kill -KILL $$; exit $code";
        wrapper = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", script, image, mount, after};
        return true;
    }
    void FillFrom(const std::string& other) {
        k5test::Shell("cp -a " + Quote(other) + "/. " + Quote(folder) + "/");
    }
    // The demo folder, made once per test program.
    static std::string Demo() {
        static QTemporaryDir base(ScratchBase() + "/k5reldemo-XXXXXX");
        static const std::string demo = base.path().toStdString() + "/demo",
                                 made =
                                     k5test::Shell(Quote(K5_DEMO_TOOL) + " " + Quote(demo) +
                                                   " --scale " + DemoScale() + " --seed 1 2>&1 || echo '(k5demo failed)'");
        EXPECT_EQ(made.find("(k5demo failed)"), std::string::npos) << made;
        return demo;
    }
    void FillFromDemo() { FillFrom(Demo()); }
    // The demo folder after one repair run (protocol folder and trash cleared), with one value
    // larger than a page: a healthy main file that a run replaces. Made once, and a copy of it.
    static std::string Healthy() {
        static Sandbox m;
        static const bool made = [] {
            m.FillFromDemo();
            ChildResult r = m.Run("--zip-and-rename --remove-orphaned --remove-orphaned-bigdocs");
            fs::remove_all(m.protocolFolder);
            fs::remove_all(m.data + "/Trash");
            // The damaged value was the only one larger than a page; a sound one takes its place
            // so that the file has an overflow chain to break.
            std::string text;
            for (int i = 0; text.size() < 150000; ++i)
                text += "Строка длинного примечания номер " + std::to_string(i) + ". ";
            return r.exited && r.code == 1 &&
                   Db(m.mainFile, true)
                       .Each("UPDATE TextBlobs SET Content = '" + text +
                             "' WHERE rowid = (SELECT min(rowid) FROM TextBlobs)");
        }();
        EXPECT_TRUE(made) << "the healthy folder could not be made";
        return m.folder;
    }
    void FillHealthy() { FillFrom(Healthy()); }

private:
    QTemporaryDir mTemp;
    std::unique_ptr<QTemporaryDir> mMountPoint;
};

// Runs fn(i) for i in [0, n) on K5_RELIABILITY_JOBS threads (3): the runs mostly wait for
// pauses and syncs. fn must not use the engine: the checks run on the calling thread.
inline void Parallel(size_t n, const std::function<void(size_t)>& fn) {
    const char* jobs = std::getenv("K5_RELIABILITY_JOBS");
    const size_t workers = std::min<size_t>(n, jobs != nullptr && std::atoi(jobs) > 0 ? std::atoi(jobs) : 3);
    std::atomic<size_t> next{0};
    std::vector<std::jthread> threads; // joined when they go
    for (size_t w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (size_t i; (i = next++) < n;)
                fn(i);
        });
}

// n sandboxes made by prepare(i, box) one after another, then run(i, box) a few at a time.
struct Batch {
    Batch(size_t n, const std::function<void(size_t, Sandbox&)>& prepare,
          const std::function<ChildResult(size_t, Sandbox&)>& run)
        : boxes(n), originals(n), runs(n) {
        for (size_t i = 0; i < n; ++i) {
            prepare(i, *(boxes[i] = std::make_unique<Sandbox>()));
            originals[i] = ReadFile(boxes[i]->mainFile);
        }
        Parallel(n, [&](size_t i) { runs[i] = run(i, *boxes[i]); });
    }
    std::vector<std::unique_ptr<Sandbox>> boxes;
    std::vector<std::string> originals; // main file bytes before the run
    std::vector<ChildResult> runs;
};

// A sweep of thousands of cases goes in slices: every case holds a copy of the folder.
template <class T, class F> void InSlices(const std::vector<T>& all, size_t slice, F check) {
    for (size_t i = 0; i < all.size(); i += slice)
        check(std::vector<T>(all.begin() + long(i), all.begin() + long(std::min(all.size(), i + slice))));
}

// Every row of every user table, as exact bytes (type, length and bytes per column; numbers
// as exact text), per table.
using RowSet = std::map<std::string, std::multiset<std::string>>;

// Every row of every user table by its rowid, in the form of RowSet.
using RowsById = std::map<std::string, std::map<int64_t, std::string>>;

// Empty when the file cannot be read as a database at all.
inline RowsById ReadRowsById(const std::string& path) {
    const Db db(path);
    const std::vector<std::string> tables =
        db.Column("SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE "
                  "'\\' AND name NOT LIKE '\\_k5\\_%' ESCAPE '\\'");
    RowsById rows;
    for (const std::string& t : tables) {
        const std::string from =
            " FROM \"" + QString::fromStdString(t).replace('"', "\"\"").toStdString() + "\"";
        auto& byId = rows[t];
        auto take = [&](sqlite3_stmt* st) {
            std::string row;
            for (int i = 1; i < sqlite3_column_count(st); ++i) {
                const int type = sqlite3_column_type(st, i);
                char number[64] = "";
                if (type == SQLITE_FLOAT)
                    std::snprintf(number, sizeof number, "%a", sqlite3_column_double(st, i));
                const void* p = type == SQLITE_FLOAT ? number : sqlite3_column_blob(st, i);
                const size_t n = type == SQLITE_FLOAT ? strlen(number) : size_t(sqlite3_column_bytes(st, i));
                row += std::to_string(type) + std::to_string(n) + ":" +
                       std::string(p ? static_cast<const char*>(p) : "", n) + ";";
            }
            byId.emplace(sqlite3_column_int64(st, 0), std::move(row));
        };
        // A scan first; where damage ends it, each remaining row on its own by its id. Both
        // are needed: a scan stops at the first bad page, a lookup misses rows whose keys
        // are out of order.
        if (db.Each("SELECT rowid, *" + from, take)) continue;
        for (const std::string& id : db.Column("SELECT rowid" + from))
            if (!byId.contains(std::stoll(id))) db.Each("SELECT rowid, *" + from + " WHERE rowid = " + id, take);
    }
    return rows;
}

inline RowSet ReadRows(const std::string& path) {
    RowSet rows;
    for (auto& [table, byId] : ReadRowsById(path)) {
        auto& set = rows[table];
        for (auto& [id, row] : byId)
            set.insert(row);
    }
    return rows;
}

// The rows of `table`, its name in any letter case.
inline const std::multiset<std::string>& TableRows(const RowSet& rows, const std::string& table) {
    static const std::multiset<std::string> none;
    for (const auto& [name, set] : rows)
        if (QString::fromStdString(name).compare(QString::fromStdString(table), Qt::CaseInsensitive) == 0)
            return set;
    return none;
}

// The engine's integrity check: empty when sound; a text for a damaged or unreadable file.
inline std::string Integrity(const std::string& path) {
    try {
        auto database = k5::db::DBEngine::Instance().OpenDatabase(path, false, true);
        std::string text = database->IntegrityCheck();
        database->Close();
        return text;
    } catch (const k5::K5Error& e) {
        return "cannot open: " + e.Description();
    }
}

// Name -> bytes of the backups a run leaves: archives and files under the backup name.
inline std::map<std::string, std::string> Backups(const Sandbox& s) {
    std::map<std::string, std::string> out;
    for (const std::string& f : Files(s.protocolFolder))
        if (f.ends_with(".zip")) out[f] = ReadFile(s.protocolFolder + "/" + f);
    for (const std::string& f : Files(s.folder))
        if (f.starts_with("Korund5_резервная_копия_")) out[f] = ReadFile(s.folder + "/" + f);
    return out;
}

// The places that may hold the old main file after a run: each whose bytes equal `original`.
inline std::vector<std::string> PlacesHolding(const Sandbox& s, const std::string& original) {
    std::vector<std::string> places;
    for (const auto& [name, bytes] : Backups(s)) {
        const bool zip = name.ends_with(".zip");
        const std::string path = (zip ? s.protocolFolder : s.folder) + "/" + name;
        if (zip && name.starts_with("Korund5_BigDocs")) continue;
        if ((zip ? k5test::Shell("unzip -p " + Quote(path) + " Korund5.mdb 2>/dev/null") : bytes) == original)
            places.push_back(path);
    }
    for (const std::string& f : Files(s.trashFiles))
        if (ReadFile(s.trashFiles + "/" + f) == original) places.push_back(s.trashFiles + "/" + f);
    if (ReadFile(s.mainFile) == original) places.push_back(s.mainFile);
    return places;
}

// The archives in the protocol folder that fail the zip test.
inline std::string BrokenArchives(const Sandbox& s) {
    return k5test::Shell("cd " + Quote(s.protocolFolder) +
                         " 2>/dev/null && for f in *.zip; do [ ! -e \"$f\" ] || " +
                         "unzip -tq \"$f\" >/dev/null 2>&1 || echo \"$f\"; done");
}

// The run ended by itself: exit code 0 or 1 with the closing line of the protocol, or 2 with
// the error's location lines; no sanitizer report. False when it did not end by itself.
inline bool ExpectVerdictOrTrail(const ChildResult& r) {
    EXPECT_TRUE(r.exited) << "signal " << r.signal << (r.timedOut ? " (timed out)" : "") << "\n"
                          << r.err.substr(0, 4000);
    if (!r.exited) return false;
    EXPECT_TRUE(r.err.find("AddressSanitizer") == std::string::npos &&
                r.err.find("runtime error") == std::string::npos)
        << r.err;
    EXPECT_TRUE(r.code == 0 || r.code == 1 || r.code == 2) << r.code << "\n" << r.err.substr(0, 4000);
    if (r.code == 2) {
        EXPECT_NE(r.err.find("[K5VedovodeduzOR::"), std::string::npos) << "no location line: " << r.err;
    } else {
        EXPECT_TRUE(r.out.find("Профилактика БД завершена") != std::string::npos ||
                    r.out.find("Дальнейшая работа программы невозможна.") != std::string::npos)
            << r.out << r.err;
    }
    return true;
}

// The folder after a run that started with `original` as main file: every archive passes
// the zip test and the main file is there; when it changed, it is sound, holds `rows` (when
// given) and the old bytes are where the user finds them. True when it changed.
inline bool CheckFolder(const Sandbox& s, const std::string& original, const RowSet* rows) {
    EXPECT_EQ(BrokenArchives(s), "");
    const bool present = fs::exists(fs::symlink_status(s.mainFile));
    EXPECT_TRUE(present) << "Korund5.mdb is missing";
    if (ReadFile(s.mainFile) == original) return false;
    EXPECT_FALSE(PlacesHolding(s, original).empty()) << "the old main file is nowhere";
    if (!present) return false;
    EXPECT_EQ(Integrity(s.mainFile), "");
    EXPECT_TRUE(rows == nullptr || ReadRows(s.mainFile) == *rows)
        << "the main file is not the whole repaired one";
    return true;
}

// The fault log of a run: the file-changing calls ("fs N what") and the entry count.
struct FaultLog {
    std::vector<std::string> calls; // calls[i] is the kind of call i + 1
    int64_t entries = 0;
};

inline FaultLog ReadFaultLog(const std::string& path) {
    FaultLog log;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        std::string kind, what;
        int64_t n = 0;
        std::istringstream(line) >> kind >> n >> what;
        if (kind == "fs") log.calls.resize(std::max<size_t>(log.calls.size(), n)), log.calls[n - 1] = what;
        if (kind == "entry") log.entries = std::max(log.entries, n);
    }
    return log;
}

// What a run without faults does to a copy of `folder`: the main file before, its rows after,
// whether it was replaced and the calls made.
struct Reference {
    std::string original;
    RowSet repairedRows;
    bool replaced = false;
    FaultLog log;
};

inline Reference CleanRun(const std::string& folder, const std::string& flags, int code,
                          const std::function<void(Sandbox&)>& prepare = {},
                          std::vector<std::string> env = {}) {
    Sandbox s;
    if (prepare) prepare(s);
    s.FillFrom(folder);
    env.push_back("K5_TEST_FAULT_LOG=" + s.root + "/fault.log");
    ChildResult r = s.Run(flags, env);
    EXPECT_TRUE(r.exited && r.code == code) << r.code << r.err << r.out;
    const std::string original = ReadFile(folder + "/Korund5.mdb");
    Reference ref{original, ReadRows(s.mainFile), ReadFile(s.mainFile) != original,
                  ReadFaultLog(s.root + "/fault.log")};
    EXPECT_FALSE(ref.repairedRows.empty());
    return ref;
}

// Picks at most `count` numbers of 1..n, spread evenly, always with 1 and n.
inline std::vector<int64_t> Spread(int64_t n, int count) {
    std::vector<int64_t> out;
    for (int i = 0; n > 0 && i < count; ++i) {
        const int64_t k = count == 1 ? 1 : 1 + std::llround(double(n - 1) * i / (count - 1));
        if (out.empty() || out.back() != k) out.push_back(k);
    }
    return out;
}

// Call numbers of a log: every one in a full sweep; else `spread` of them spread evenly and,
// from the end back until there are `total`, the calls that are not database writes and
// syncs (nor fsync, with skipFsync).
inline std::set<int64_t> CallPoints(const FaultLog& log, int spread, size_t total, bool skipFsync) {
    const int64_t n = static_cast<int64_t>(log.calls.size());
    const std::vector<int64_t> evenly = Spread(n, FullSweep() ? int(n) : spread);
    std::set<int64_t> ks(evenly.begin(), evenly.end());
    for (int64_t k = n; k >= 1 && ks.size() < total; --k) {
        const std::string& w = log.calls[k - 1];
        if (w != "db-write" && w != "db-sync" && w != "db-truncate" && !(skipFsync && w == "fsync"))
            ks.insert(k);
    }
    return ks;
}

} // namespace k5rel
