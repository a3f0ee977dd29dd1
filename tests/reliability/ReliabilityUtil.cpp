#include "ReliabilityUtil.h"

#include "support/Error.h"

#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace k5rel {

using k5test::Quote;

int Scale() {
    const char* v = std::getenv("K5_RELIABILITY_SCALE");
    if (v == nullptr || *v == '\0') return 0;
    if (std::string(v) == "all") return 1000;
    return std::atoi(v);
}

bool FullSweep() {
    return Scale() >= 1000;
}

ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     double timeoutSeconds, const std::string& scratch, int uid) {
    ChildResult r;
    const std::string outFile = scratch + "/child.out", errFile = scratch + "/child.err";
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const std::string& o : env)
            overridden = overridden || o.substr(0, o.find('=')) == name;
        if (!overridden) envs.push_back(entry);
    }
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : envs)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
            _exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeoutSeconds && !r.timedOut) {
            r.timedOut = true;
            ::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status)) {
        r.exited = true;
        r.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
    r.out = ReadFile(outFile);
    r.err = ReadFile(errFile);
    return r;
}

namespace {

// Memory-backed scratch space when there is one: the runs flush often, and the cases are
// about the order of file operations, not about the disk.
QString ScratchBase() {
    if (const char* v = std::getenv("K5_RELIABILITY_TMP"); v != nullptr && *v != '\0') return v;
    if (::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return QDir::tempPath();
}

// One demo folder per seed for the whole test program; cases copy it.
std::string DemoTemplate(int seed) {
    static QTemporaryDir base(ScratchBase() + "/k5reldemo-XXXXXX");
    static std::map<int, std::string> made;
    auto it = made.find(seed);
    if (it != made.end()) return it->second;
    const std::string dir = base.path().toStdString() + "/seed" + std::to_string(seed);
#ifdef K5_DEMO_TOOL
    int code = -1;
    const std::string out = k5test::Shell(Quote(K5_DEMO_TOOL) + " " + Quote(dir) + " --scale tiny --seed " +
                                              std::to_string(seed) + " 2>&1",
                                          &code);
    if (code != 0) ADD_FAILURE() << out;
#else
    ADD_FAILURE() << "k5demo is not built";
#endif
    made[seed] = dir;
    return dir;
}

} // namespace

Sandbox::Sandbox() : mTemp(ScratchBase() + "/k5rel-XXXXXX") {
    root = mTemp.path().toStdString();
    // For diagnosis: the sandboxes stay for a look afterwards.
    if (std::getenv("K5_RELIABILITY_KEEP") != nullptr) mTemp.setAutoRemove(false);
    folder = root + "/База данных";
    mainFile = folder + "/Korund5.mdb";
    protocolFolder = folder + "/Профилактика_БД";
    trashFiles = root + "/data/Trash/files";
    QDir().mkpath(QString::fromStdString(folder));
    QDir().mkpath(QString::fromStdString(root + "/etc/Seltaris"));
    QDir().mkpath(QString::fromStdString(root + "/data"));
    std::ofstream(root + "/etc/Seltaris/Korund5.conf") << "[General]\n";
}

ChildResult Sandbox::Run(const std::string& flags, const std::vector<std::string>& env, double timeout) {
#ifdef K5_MAIN_PROGRAM
    std::vector<std::string> argv{K5_MAIN_PROGRAM, "--batch", "--folder", folder};
    std::istringstream in(flags);
    for (std::string f; in >> f;)
        argv.push_back(f);
    std::vector<std::string> all{"XDG_DATA_HOME=" + root + "/data", "XDG_CONFIG_DIRS=" + root + "/etc",
                                 "QT_QPA_PLATFORM=offscreen", "HOME=" + root, "K5_TEST_SHORT_PAUSES=1"};
    all.insert(all.end(), env.begin(), env.end());
    return RunChild(argv, all, timeout, root, runAsUid);
#else
    ADD_FAILURE() << "the main program is not built";
    return {};
#endif
}

void Sandbox::FillFromDemo(int seed) {
    const std::string demo = DemoTemplate(seed);
    k5test::Shell("cp -a " + Quote(demo) + "/. " + Quote(folder) + "/");
}

void Sandbox::FillFrom(const Sandbox& other) {
    k5test::Shell("cp -a " + Quote(other.folder) + "/. " + Quote(folder) + "/");
}

void Sandbox::FillHealthy() {
    static std::unique_ptr<Sandbox> model = [] {
        auto m = std::make_unique<Sandbox>();
        m->FillFromDemo();
        ChildResult r = m->Run("--zip-and-rename --remove-orphaned --remove-orphaned-bigdocs");
        EXPECT_TRUE(r.exited && r.code == 1) << r.err;
        k5test::Shell("rm -rf " + Quote(m->protocolFolder) + " " + Quote(m->root + "/data/Trash"));
        // The damaged value was the only one larger than a page; a sound one takes its place
        // so that the file has an overflow chain to break.
        sqlite3* db = nullptr;
        std::string text;
        for (int i = 0; text.size() < 150000; ++i)
            text += "Строка длинного примечания номер " + std::to_string(i) + ". ";
        EXPECT_EQ(sqlite3_open_v2(m->mainFile.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db,
                                     "UPDATE TextBlobs SET Content = ?1 WHERE rowid = "
                                     "(SELECT min(rowid) FROM TextBlobs)",
                                     -1, &st, nullptr),
                  SQLITE_OK);
        sqlite3_bind_text(st, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return m;
    }();
    FillFrom(*model);
}

std::string ReadFile(const std::string& path) {
    return k5test::ReadAll(path);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            struct stat st {};
            if (name != "." && name != ".." && ::lstat((dir + "/" + name).c_str(), &st) == 0 &&
                !S_ISDIR(st.st_mode))
                out.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

std::string ColumnBytes(sqlite3_stmt* st, int i) {
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL:
        return "N;";
    case SQLITE_INTEGER:
        return "I" + std::to_string(sqlite3_column_int64(st, i)) + ";";
    case SQLITE_FLOAT: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "F%a;", sqlite3_column_double(st, i));
        return buf;
    }
    case SQLITE_TEXT: {
        const int n = sqlite3_column_bytes(st, i);
        return "T" + std::to_string(n) + ":" +
               std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)), n) + ";";
    }
    default: {
        const void* p = sqlite3_column_blob(st, i);
        const int n = sqlite3_column_bytes(st, i);
        return "B" + std::to_string(n) + ":" + std::string(static_cast<const char*>(p ? p : ""), n) + ";";
    }
    }
}

std::string QuoteName(const std::string& n) {
    std::string q = "\"";
    for (char c : n)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

} // namespace

std::optional<RowSet> ReadRows(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return std::nullopt;
    }
    RowSet rows;
    std::vector<std::string> tables;
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_prepare_v2(db,
                                 "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE "
                                 "'sqlite\\_%' ESCAPE '\\' AND name NOT LIKE '\\_k5\\_%' ESCAPE '\\'",
                                 -1, &st, nullptr) == SQLITE_OK;
    while (ok && sqlite3_step(st) == SQLITE_ROW)
        tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    if (!ok) {
        sqlite3_close(db);
        return std::nullopt;
    }
    for (const std::string& t : tables) {
        auto& set = rows[t];
        auto rowBytes = [](sqlite3_stmt* st, int from) {
            std::string row;
            for (int i = from; i < sqlite3_column_count(st); ++i)
                row += ColumnBytes(st, i);
            return row;
        };
        // A scan first; where damage ends it, each remaining row on its own by its id. Both
        // are needed: a scan stops at the first bad page, a lookup misses rows whose keys
        // are out of order.
        std::set<int64_t> seen;
        bool complete = false;
        if (sqlite3_prepare_v2(db, ("SELECT rowid, * FROM " + QuoteName(t)).c_str(), -1, &st, nullptr) ==
            SQLITE_OK) {
            int rc;
            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                if (seen.insert(sqlite3_column_int64(st, 0)).second) set.insert(rowBytes(st, 1));
            }
            complete = rc == SQLITE_DONE;
        }
        sqlite3_finalize(st);
        if (complete) continue;
        std::vector<int64_t> ids;
        if (sqlite3_prepare_v2(db, ("SELECT rowid FROM " + QuoteName(t)).c_str(), -1, &st, nullptr) ==
            SQLITE_OK)
            while (sqlite3_step(st) == SQLITE_ROW)
                ids.push_back(sqlite3_column_int64(st, 0));
        sqlite3_finalize(st);
        sqlite3_stmt* one = nullptr;
        if (sqlite3_prepare_v2(db, ("SELECT * FROM " + QuoteName(t) + " WHERE rowid = ?1").c_str(), -1, &one,
                               nullptr) != SQLITE_OK)
            continue;
        for (int64_t id : ids) {
            if (seen.count(id) > 0) continue;
            sqlite3_reset(one);
            sqlite3_bind_int64(one, 1, id);
            if (sqlite3_step(one) != SQLITE_ROW) continue;
            seen.insert(id);
            set.insert(rowBytes(one, 0));
        }
        sqlite3_finalize(one);
    }
    sqlite3_close(db);
    return rows;
}

std::string Integrity(const std::string& path) {
    try {
        auto database = k5::db::DBEngine::Instance().OpenDatabase(path, false, true);
        std::string text = database->IntegrityCheck();
        database->Close();
        return text;
    } catch (const k5::K5Error& e) {
        return "cannot open: " + e.Description();
    }
}

std::vector<std::string> PlacesHolding(const Sandbox& s, const std::string& original) {
    std::vector<std::string> places;
    if (ReadFile(s.mainFile) == original) places.push_back(s.mainFile);
    for (const std::string& f : Files(s.protocolFolder)) {
        if (f.size() < 4 || f.compare(f.size() - 4, 4, ".zip") != 0 || f.rfind("Korund5_BigDocs", 0) == 0)
            continue;
        const std::string zip = s.protocolFolder + "/" + f;
        if (k5test::Shell("unzip -p " + Quote(zip) + " Korund5.mdb 2>/dev/null") == original)
            places.push_back(zip);
    }
    for (const std::string& f : Files(s.trashFiles))
        if (ReadFile(s.trashFiles + "/" + f) == original) places.push_back(s.trashFiles + "/" + f);
    for (const std::string& f : Files(s.folder))
        if (f.rfind("Korund5_резервная_копия_", 0) == 0 && ReadFile(s.folder + "/" + f) == original)
            places.push_back(s.folder + "/" + f);
    return places;
}

std::map<std::string, std::string> Backups(const Sandbox& s) {
    std::map<std::string, std::string> out;
    for (const std::string& f : Files(s.protocolFolder))
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".zip") == 0)
            out[f] = ReadFile(s.protocolFolder + "/" + f);
    for (const std::string& f : Files(s.folder))
        if (f.rfind("Korund5_резервная_копия_", 0) == 0) out[f] = ReadFile(s.folder + "/" + f);
    return out;
}

std::string BrokenArchives(const Sandbox& s) {
    std::string broken;
    for (const std::string& f : Files(s.protocolFolder)) {
        if (f.size() < 4 || f.compare(f.size() - 4, 4, ".zip") != 0) continue;
        int code = -1;
        k5test::Shell("unzip -tq " + Quote(s.protocolFolder + "/" + f) + " >/dev/null 2>&1", &code);
        if (code != 0) broken += f + " ";
    }
    return broken;
}

FaultLog ReadFaultLog(const std::string& path) {
    FaultLog log;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        std::istringstream l(line);
        std::string kind, what;
        int64_t n = 0;
        l >> kind >> n >> what;
        if (kind == "fs") {
            if (static_cast<int64_t>(log.calls.size()) < n) log.calls.resize(n);
            log.calls[n - 1] = what;
        } else if (kind == "entry") {
            log.entries = std::max(log.entries, n);
        }
    }
    return log;
}

std::vector<int64_t> Spread(int64_t n, int count) {
    std::vector<int64_t> out;
    if (n <= 0 || count <= 0) return out;
    if (count == 1 || n <= count) {
        for (int64_t k = 1; k <= std::min<int64_t>(n, count == 1 ? 1 : n); ++k)
            out.push_back(k);
        return out;
    }
    for (int i = 0; i < count; ++i) {
        const int64_t k = 1 + static_cast<int64_t>(std::llround(double(n - 1) * i / (count - 1)));
        if (out.empty() || out.back() != k) out.push_back(k);
    }
    return out;
}

// Runs fn(i) for i in [0, n) on a few threads: the runs mostly wait (pauses, fsync).
void Parallel(size_t n, const std::function<void(size_t)>& fn) {
    // Most of a run's time is its one-second waits, so a sweep may ask for more workers.
    const char* jobs = std::getenv("K5_RELIABILITY_JOBS");
    const size_t wanted = jobs != nullptr && std::atoi(jobs) > 0 ? size_t(std::atoi(jobs)) : 3;
    const size_t workers = std::min<size_t>(n, wanted);
    std::mutex m;
    size_t next = 0;
    std::vector<std::thread> threads;
    for (size_t w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (;;) {
                size_t i;
                {
                    std::lock_guard<std::mutex> lock(m);
                    if (next >= n) return;
                    i = next++;
                }
                fn(i);
            }
        });
    for (auto& t : threads)
        t.join();
}

} // namespace k5rel
