// The SQLite connection behind a database: opening, locking, batching, progress, catalogue.
#include "dbengine/EngineInternal.h"

#include "support/Background.h"
#include "support/FileUtils.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace k5::db::detail {

namespace {

constexpr int64_t kRowsPerCommit = 100000;

// Set on the helper thread of RunLong: the progress hook belongs to the caller's thread.
thread_local bool tOnHelper = false;

std::once_flag gConfigured;

void ConfigureSqlite() {
    std::call_once(gConfigured, [] {
        // The system library accepts URI file names by default; our names are plain paths.
        sqlite3_config(SQLITE_CONFIG_URI, 0);
        // No allocation statistics: they cost a mutex per allocation.
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        sqlite3_initialize();
    });
}

std::string InUseText(const std::string& path) {
    return "Не удается использовать '" + path + "'; файл уже используется.";
}

std::string ExclusiveText(const std::string& path) {
    return "Не удается открыть файл '" + path +
           "', он уже открыт другим пользователем в монопольном режиме. Повторите попытку, когда база данных "
           "станет доступна.";
}

std::string BadPathText(const std::string& path) {
    return "'" + path +
           "' не является допустимым путем. Убедитесь, что путь введен правильно и что имеется подключение к "
           "серверу, на котором находится файл.";
}

std::string NoAccessText(const std::string& path) {
    return "Не удается открыть файл '" + path +
           "'. Он уже открыт другим пользователем в монопольном режиме, или для его просмотра или изменения "
           "требуется разрешение.";
}


struct LockEntry {
    int fd = -1;
    int shared = 0;
    bool exclusive = false;
    bool held = false; // by a FileHold: the descriptor is the hold's and outlives the connections
};

std::mutex gLockMutex;
std::map<std::string, LockEntry>& Locks() {
    static std::map<std::string, LockEntry> locks;
    return locks;
}

} // namespace

std::string PlainPath(const std::string& path) {
    if (path.rfind("file:", 0) == 0) return "./" + path;
    return path;
}

// ---- FileLock ----

FileLock::FileLock(const std::string& path, bool exclusive) : mExclusive(exclusive) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) Raise(3024, "Не удается найти файл '" + path + "'.");
    mKey = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    std::lock_guard<std::mutex> guard(gLockMutex);
    auto& locks = Locks();
    auto it = locks.find(mKey);
    if (it != locks.end()) {
        if (it->second.exclusive) Raise(3356, ExclusiveText(path));
        if (exclusive && it->second.shared > 0) Raise(3045, InUseText(path));
        if (exclusive)
            it->second.exclusive = true;
        else
            ++it->second.shared;
        return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Raise(3051, NoAccessText(path));
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        const bool othersShared = exclusive && ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        // No connection of ours uses this file, so closing here drops nobody's locks.
        ::close(fd);
        if (othersShared) Raise(3045, InUseText(path));
        Raise(3356, ExclusiveText(path));
    }
    LockEntry e;
    e.fd = fd;
    e.exclusive = exclusive;
    e.shared = exclusive ? 0 : 1;
    locks.emplace(mKey, e);
}

int FileLock::Fd() const {
    std::lock_guard<std::mutex> guard(gLockMutex);
    auto it = Locks().find(mKey);
    return it == Locks().end() ? -1 : it->second.fd;
}

FileLock::~FileLock() {
    std::lock_guard<std::mutex> guard(gLockMutex);
    auto& locks = Locks();
    auto it = locks.find(mKey);
    if (it == locks.end()) return;
    LockEntry& e = it->second;
    if (mExclusive)
        e.exclusive = false;
    else
        --e.shared;
    if (e.exclusive || e.shared > 0 || e.held) return;
    ::close(e.fd);
    locks.erase(it);
}

// ---- FileHold ----

namespace {

// SQLite's lock bytes (unix VFS): the pending byte, the reserved byte, then the shared range.
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kSharedFirst = kPendingByte + 2;
constexpr off_t kSharedSize = 510;

// A record lock of the open file itself (not of the process: closing another descriptor of
// the file keeps it). With F_OFD_GETLK the lock is only tried: the type becomes F_UNLCK
// when nobody holds a conflicting one.
bool RecordLock(int fd, int command, short& type, off_t start, off_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    const bool done = ::fcntl(fd, command, &fl) == 0;
    type = fl.l_type;
    return done;
}

class HeldFile : public FileHold {
public:
    HeldFile(std::string key, const struct stat& st) : mKey(std::move(key)), mStat(st) {}
    ~HeldFile() override {
        std::lock_guard<std::mutex> guard(gLockMutex);
        auto& locks = Locks();
        auto it = locks.find(mKey);
        if (it == locks.end()) return;
        it->second.held = false;
        if (it->second.exclusive || it->second.shared > 0) return;
        ::close(it->second.fd);
        locks.erase(it);
    }
    bool Unchanged(const std::string& path) const override {
        struct stat now {};
        return ::stat(PlainPath(path).c_str(), &now) == 0 && now.st_dev == mStat.st_dev &&
               now.st_ino == mStat.st_ino && now.st_size == mStat.st_size &&
               now.st_mtim.tv_sec == mStat.st_mtim.tv_sec && now.st_mtim.tv_nsec == mStat.st_mtim.tv_nsec;
    }

private:
    std::string mKey;
    struct stat mStat;
};

} // namespace

std::unique_ptr<FileHold> HoldFile(const std::string& path) {
    const std::string plain = PlainPath(path);
    std::lock_guard<std::mutex> guard(gLockMutex);
    const int fd = ::open(plain.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) Raise(3024, "Не удается найти файл '" + path + "'.");
        Raise(3051, NoAccessText(path));
    }
    struct stat st {};
    ::fstat(fd, &st);
    const std::string key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    auto& locks = Locks();
    // Closing our descriptor would drop the SQLite locks of a connection of ours on the file;
    // a hold is taken only while none is open.
    if (locks.count(key) != 0) Raise(3045, InUseText(path));
    auto refuse = [&](int32_t number, const std::string& text) {
        ::close(fd);
        Raise(number, text);
    };
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool othersShared = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        refuse(othersShared ? 3045 : 3356, othersShared ? InUseText(path) : ExclusiveText(path));
    }
    // No other SQLite program may hold any of its locks now, not even a reader in a
    // transaction. Then a reader's share is kept: others may read, but no commit gets
    // through until the hold ends. A file system without record locks has the flock alone.
    short probe = F_WRLCK;
    if (RecordLock(fd, F_OFD_GETLK, probe, kPendingByte, 2 + kSharedSize) && probe != F_UNLCK)
        refuse(3045, InUseText(path));
    short share = F_RDLCK;
    if (!RecordLock(fd, F_OFD_SETLK, share, kSharedFirst, kSharedSize) &&
        (errno == EAGAIN || errno == EACCES))
        refuse(3045, InUseText(path));
    LockEntry e;
    e.fd = fd;
    e.held = true;
    locks.emplace(key, e);
    return std::make_unique<HeldFile>(key, st);
}

// ---- ProgressScope ----

ProgressScope::ProgressScope(sqlite3* db, const ProgressHook& hook)
    : mDb(db), mHook(hook), mStart(std::chrono::steady_clock::now()), mLast(mStart) {
    if (mHook && mDb && !tOnHelper) sqlite3_progress_handler(mDb, 500, &ProgressScope::Callback, this);
}

ProgressScope::~ProgressScope() {
    if (mHook && mDb && !tOnHelper) sqlite3_progress_handler(mDb, 0, nullptr, nullptr);
}

int ProgressScope::Callback(void* p) {
    auto self = static_cast<ProgressScope*>(p);
    const auto now = std::chrono::steady_clock::now();
    if (now - self->mLast < std::chrono::milliseconds(20)) return 0;
    self->mLast = now;
    try {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - self->mStart).count();
        self->mHook(ms, 0);
    } catch (...) {
        // The hook wants the call stopped; its exception is passed on once SQLite has returned.
        self->mError = std::current_exception();
        return 1;
    }
    return 0;
}

void ProgressScope::RethrowIfAny() {
    if (mError) std::rethrow_exception(mError);
}

// ---- Connection ----

Connection::~Connection() {
    try {
        CloseAll();
    } catch (...) {
    }
}

void Connection::CheckOpen() const {
    if (closed || (!db && !salvageOnly)) Raise(3420, "Объект недействителен или больше не задан.");
}

FileSalvage& Connection::Salvage() {
    if (!salvage) salvage = std::make_unique<FileSalvage>(lock->Fd(), path);
    return *salvage;
}

void Connection::Exec(const std::string& sql) {
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    sqlite3_free(err);
    if (rc != SQLITE_OK) RaiseSqlite(db, rc, path);
}

sqlite3_stmt* Connection::Prepare(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(st);
        RaiseSqlite(db, rc, path);
    }
    return st;
}

void Connection::BeginBatch() {
    if (sqlite3_get_autocommit(db)) {
        Exec("BEGIN");
        batchedRows = 0;
    }
}

void Connection::RowSaved() {
    if (++batchedRows >= kRowsPerCommit) Commit();
}

void Connection::Commit() {
    // A commit writes and flushes every page of the batch: seconds for tables of big values.
    if (db && !sqlite3_get_autocommit(db)) RunLong([this] { Exec("COMMIT"); });
    batchedRows = 0;
}

void Connection::RunLong(const std::function<void()>& body) {
    interrupted = false;
    if (!progress || tOnHelper) {
        ProgressScope scope(db, progress);
        try {
            body();
        } catch (...) {
            scope.RethrowIfAny();
            throw;
        }
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    std::exception_ptr hookError;
    const auto tick = [&] {
        if (hookError) return;
        try {
            progress(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                         .count(),
                     0);
        } catch (...) {
            hookError = std::current_exception();
            interrupted = true;
            if (db) sqlite3_interrupt(db);
        }
    };
    try {
        RunWithTicks(
            [&] {
                tOnHelper = true;
                try {
                    body();
                } catch (...) {
                    tOnHelper = false;
                    throw;
                }
                tOnHelper = false;
            },
            tick);
    } catch (...) {
        if (hookError) std::rethrow_exception(hookError);
        throw;
    }
    if (hookError) std::rethrow_exception(hookError);
}

void Connection::EnsureCatalog() {
    if (hasCatalog) return;
    for (const char* ddl : kCatalogTables)
        Exec(std::string("CREATE TABLE IF NOT EXISTS ") + ddl);
    hasCatalog = true;
}

void Connection::CloseAll() {
    if (closed) return;
    closed = true;
    auto open = recordsets;
    for (auto* rs : open)
        rs->Invalidate();
    recordsets.clear();
    if (db) {
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db);
        db = nullptr;
    }
    salvage.reset();
    // The file lock goes last: its descriptor may be closed only after SQLite let go of the file.
    lock.reset();
}

// SQLite refuses a longer path as a file it cannot open, which would read like a file in use.
void RequireShortPath(const std::string& plain, const std::string& path) {
    size_t length = plain.size();
    if (plain.empty() || plain[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr) length += std::strlen(cwd) + 1;
    }
    const sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    const size_t limit = vfs != nullptr ? static_cast<size_t>(vfs->mxPathname) : 512;
    if (length >= limit)
        Raise(3055, "Слишком длинный путь к файлу '" + path +
                        "': ядро базы данных принимает пути длиной до " + std::to_string(limit - 1) +
                        " байт.");
}

std::shared_ptr<Connection> OpenConnection(const std::string& path, bool exclusive, bool readOnly,
                                           bool create, const ProgressHook& hook, const char* vfs) {
    ConfigureSqlite();
    const std::string plain = PlainPath(path);
    RequireShortPath(plain, path);
    struct stat st {};
    if (create) {
        struct stat dst {};
        const std::string folder = FolderOf(plain);
        if (::stat(folder.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode)) Raise(3044, BadPathText(path));
        if (::lstat(plain.c_str(), &st) == 0) Raise(3204, "База данных уже существует.");
        const int fd = ::open(plain.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) Raise(3204, "База данных уже существует.");
            if (errno == EACCES || errno == EROFS || errno == EPERM) Raise(3051, NoAccessText(path));
            Raise(3044, BadPathText(path));
        }
        ::close(fd);
    } else {
        if (::stat(plain.c_str(), &st) != 0) Raise(3024, "Не удается найти файл '" + path + "'.");
        if (S_ISDIR(st.st_mode)) Raise(3051, NoAccessText(path));
    }

    auto c = std::make_shared<Connection>();
    c->path = path;
    c->readOnly = readOnly;
    c->exclusive = exclusive;
    c->progress = hook;
    try {
        c->lock = std::make_unique<FileLock>(plain, exclusive);
    } catch (...) {
        if (create) ::unlink(plain.c_str());
        throw;
    }
    // The header is read through the lock's descriptor: opening and closing another one
    // would drop the SQLite locks this process may hold on the file.
    unsigned char head[100] = {};
    if (!create) {
        const ssize_t n = ::pread(c->lock->Fd(), head, sizeof head, 0);
        if (n < 16 || std::memcmp(head, "SQLite format 3", 16) != 0) {
            // A read-only open of a file whose header is damaged still reads its pages.
            if (readOnly && c->Salvage().LooksLikeDatabase()) {
                c->salvageOnly = c->pagesReadable = true;
                return c;
            }
            c->CloseAll();
            Raise(3343, "Нераспознаваемый формат базы данных '" + path + "'.");
        }
    }
    // A file in write-ahead-log mode with a log holds pages the file itself does not.
    struct stat wal {};
    c->pagesReadable = readOnly && !create &&
                       !(head[18] == 2 && ::stat((plain + "-wal").c_str(), &wal) == 0 && wal.st_size > 0);

    // A journal left by a writer that died is rolled back by a writable connection before a
    // read-only one looks at the file; a read-only connection could not do it.
    struct stat jst {};
    if (readOnly && ::stat((plain + "-journal").c_str(), &jst) == 0 && jst.st_size > 0) {
        sqlite3* rw = nullptr;
        if (sqlite3_open_v2(plain.c_str(), &rw, SQLITE_OPEN_READWRITE, vfs) == SQLITE_OK)
            sqlite3_exec(rw, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
        sqlite3_close(rw);
    }

    const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(plain.c_str(), &c->db, flags, vfs);
    auto fail = [&](int code) {
        std::string keep;
        const int ext = c->db ? sqlite3_extended_errcode(c->db) : code;
        try {
            if ((code & 0xff) == SQLITE_NOTADB)
                Raise(3343, "Нераспознаваемый формат базы данных '" + path + "'.");
            if (ext == SQLITE_READONLY_ROLLBACK) Raise(3051, NoAccessText(path));
            if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED)
                Raise(exclusive ? 3045 : 3218,
                      exclusive ? InUseText(path)
                                : "Не удается обновить; объект '" + path + "' заблокирован.");
            RaiseSqlite(c->db, code, path);
        } catch (...) {
            c->CloseAll();
            if (create) ::unlink(plain.c_str());
            throw;
        }
    };
    if (rc != SQLITE_OK) fail(rc);
    sqlite3_extended_result_codes(c->db, 1);
    RegisterCollation(c->db);
    sqlite3_busy_timeout(c->db, exclusive ? 0 : 2000);
    if (exclusive) sqlite3_exec(c->db, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr);
    // 8 MB of page cache: the copy holds three files open at once and its reads and appends
    // are sequential, so a larger cache only raises the peak memory.
    sqlite3_exec(c->db, "PRAGMA cache_size=-8192", nullptr, nullptr, nullptr);
    // Statistics of a table are sampled, not read in full (see BuildPendingIndexes).
    sqlite3_exec(c->db, "PRAGMA analysis_limit=1000", nullptr, nullptr, nullptr);

    // The first read checks the header and takes the lock.
    sqlite3_stmt* probe = nullptr;
    rc = sqlite3_prepare_v2(c->db, "SELECT count(*) FROM sqlite_schema WHERE name = '_k5_fields'", -1, &probe,
                            nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(probe);
        if (rc == SQLITE_ROW) {
            c->hasCatalog = sqlite3_column_int(probe, 0) > 0;
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(probe);
    if (rc != SQLITE_OK && readOnly && c->pagesReadable &&
        ((rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB)) {
        // SQLite refuses the whole file for a damaged schema page or text: its tables are
        // still read from the pages.
        sqlite3_close_v2(c->db);
        c->db = nullptr;
        if (c->Salvage().LooksLikeDatabase()) {
            c->salvageOnly = true;
            return c;
        }
    }
    if (rc != SQLITE_OK) fail(rc);
    if (exclusive && !readOnly) {
        // Take the write lock now; the exclusive locking mode keeps it until the close.
        rc = sqlite3_exec(c->db, "BEGIN EXCLUSIVE; COMMIT;", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) fail(rc);
    }
    try {
        if (create) {
            c->Exec("PRAGMA page_size=4096");
            c->EnsureCatalog();
            c->Exec(std::string("INSERT OR REPLACE INTO _k5_meta(key, value) VALUES ('format_version', '") +
                    kFormatVersion + "'), ('engine', 'K5 DAO/SQLite')");
        }
        if (!readOnly && c->hasCatalog) {
            c->RunLong([&] { c->BuildPendingIndexes(); });
        }
    } catch (...) {
        c->CloseAll();
        if (create) ::unlink(plain.c_str());
        throw;
    }
    return c;
}

// ---- Table list and definitions ----

std::vector<std::string> ListTables(Connection& c) {
    std::vector<std::string> names;
    sqlite3_stmt* st =
        c.Prepare("SELECT name FROM sqlite_schema WHERE type = 'table'"
                  " AND lower(substr(name, 1, 7)) <> 'sqlite_' AND lower(substr(name, 1, 4)) <> '_k5_'"
                  " ORDER BY rowid");
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) RaiseSqlite(c.db, rc, c.path);
    return names;
}

std::string ResolveTable(Connection& c, const std::string& name) {
    for (auto& n : ListTables(c))
        if (SameName(n, name)) return n;
    return {};
}

namespace {

struct Stmt {
    sqlite3_stmt* st = nullptr;
    Connection& c;
    Stmt(Connection& conn, const std::string& sql) : c(conn) { st = c.Prepare(sql); }
    ~Stmt() { sqlite3_finalize(st); }
    bool Step() {
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) RaiseSqlite(c.db, rc, c.path);
        return false;
    }
    std::string Text(int i) {
        auto p = sqlite3_column_text(st, i);
        return p ? reinterpret_cast<const char*>(p) : "";
    }
    int Int(int i) { return sqlite3_column_int(st, i); }
    void Bind(int i, const std::string& s) {
        sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
};

} // namespace

TableDef LoadTableDef(Connection& c, const std::string& stored) {
    TableDef def;
    def.Name = stored;
    struct Column {
        std::string name, type;
        bool notNull;
        bool used = false;
    };
    std::vector<Column> columns;
    {
        Stmt s(c, "SELECT name, type, \"notnull\" FROM pragma_table_info(?1)");
        s.Bind(1, stored);
        while (s.Step())
            columns.push_back({s.Text(0), s.Text(1), s.Int(2) != 0});
    }
    auto findColumn = [&](const std::string& n) -> Column* {
        for (auto& col : columns)
            if (SameName(col.name, n)) return &col;
        return nullptr;
    };
    std::vector<std::string> catalogIndexNames;
    if (c.hasCatalog) {
        Stmt s(c, "SELECT name, type, size, attributes, allow_zero_length, required, default_value"
                  " FROM _k5_fields WHERE tbl = ?1 ORDER BY pos");
        s.Bind(1, stored);
        while (s.Step()) {
            Column* col = findColumn(s.Text(0));
            if (!col || col->used) continue; // dropped by SQL meanwhile
            col->used = true;
            Field f;
            f.Name = col->name;
            f.Type = s.Int(1);
            f.Size = s.Int(2);
            f.Attributes = s.Int(3);
            f.AllowZeroLength = s.Int(4) != 0;
            f.Required = s.Int(5) != 0;
            if (sqlite3_column_type(s.st, 6) != SQLITE_NULL) f.DefaultValue = s.Text(6);
            // A damaged catalogue type must not make every value of the column unreadable:
            // the declared type of the column stands in for it.
            if (!IsKnownType(f.Type) || !CatalogTypeFits(f.Type, col->type))
                f = FieldFromDeclared(col->name, col->type, col->notNull);
            def.Fields.push_back(std::move(f));
        }
    }
    for (auto& col : columns)
        if (!col.used) def.Fields.push_back(FieldFromDeclared(col.name, col.type, col.notNull));

    if (c.hasCatalog) {
        std::vector<std::pair<int, Index>> indexes;
        {
            Stmt s(c, "SELECT pos, name, sql_name, is_primary, is_unique, ignore_nulls FROM _k5_indexes"
                      " WHERE tbl = ?1 ORDER BY pos");
            s.Bind(1, stored);
            while (s.Step()) {
                Index ix;
                ix.Name = s.Text(1);
                ix.Primary = s.Int(3) != 0;
                ix.Unique = s.Int(4) != 0;
                ix.IgnoreNulls = s.Int(5) != 0;
                catalogIndexNames.push_back(s.Text(2));
                indexes.emplace_back(s.Int(0), std::move(ix));
            }
        }
        Stmt s(c, "SELECT index_pos, name, attributes FROM _k5_index_fields WHERE tbl = ?1 ORDER BY "
                  "index_pos, pos");
        s.Bind(1, stored);
        while (s.Step())
            for (auto& [pos, ix] : indexes)
                if (pos == s.Int(0)) ix.Fields.push_back(IndexField{s.Text(1), s.Int(2)});
        for (auto& [pos, ix] : indexes)
            def.Indexes.push_back(std::move(ix));
    }
    // Indexes made by SQL statements.
    std::vector<std::tuple<std::string, bool, std::string>> extra;
    {
        Stmt s(c, "SELECT name, \"unique\", origin FROM pragma_index_list(?1) ORDER BY seq DESC");
        s.Bind(1, stored);
        while (s.Step()) {
            const std::string n = s.Text(0);
            if (std::find(catalogIndexNames.begin(), catalogIndexNames.end(), n) == catalogIndexNames.end())
                extra.emplace_back(n, s.Int(1) != 0, s.Text(2));
        }
    }
    for (auto& [name, unique, origin] : extra) {
        Index ix;
        ix.Name = name;
        ix.Unique = unique;
        ix.Primary = origin == "pk";
        Stmt s(c, "SELECT name, \"desc\" FROM pragma_index_xinfo(?1) WHERE key = 1 ORDER BY seqno");
        s.Bind(1, name);
        while (s.Step())
            ix.Fields.push_back(IndexField{s.Text(0), s.Int(1) ? dbDescending : 0});
        def.Indexes.push_back(std::move(ix));
    }
    return def;
}

void Connection::BuildPendingIndexes(const std::string& onlyTable, bool uniqueOnly) {
    if (readOnly || !hasCatalog) return;
    std::vector<std::tuple<std::string, std::string, std::string>> pending; // table, index, sql name
    {
        Stmt s(*this, "SELECT tbl, name, sql_name FROM _k5_indexes i WHERE NOT EXISTS"
                      " (SELECT 1 FROM sqlite_schema s WHERE s.type = 'index' AND s.name = i.sql_name)"
                      " AND EXISTS (SELECT 1 FROM sqlite_schema t WHERE t.type = 'table' AND t.name = i.tbl)"
                      " AND i.sql_name <> '' AND (?1 = '' OR tbl = ?1) AND (?2 = 0 OR is_primary <> 0 OR "
                      "is_unique <> 0)"
                      " ORDER BY tbl, pos");
        s.Bind(1, onlyTable);
        sqlite3_bind_int(s.st, 2, uniqueOnly ? 1 : 0);
        while (s.Step())
            pending.emplace_back(s.Text(0), s.Text(1), s.Text(2));
    }
    if (pending.empty()) return;
    std::string table;
    TableDef def;
    // Once its indexes are built after the rows, a table gets statistics for the query planner:
    // without them it may pick a range over an equality on the same index (a correlated count
    // of the clean-up then reads the whole index for every outer row: minutes instead of
    // milliseconds). Sampled (analysis_limit), so it costs milliseconds even on millions of rows.
    auto analyze = [&] {
        if (!table.empty() && !uniqueOnly) Exec("ANALYZE " + Quote(table));
    };
    for (auto& [tbl, name, sqlName] : pending) {
        if (tbl != table) {
            analyze();
            def = LoadTableDef(*this, tbl);
            table = tbl;
        }
        for (auto& ix : def.Indexes) {
            if (ix.Name != name) continue;
            std::string sql = std::string("CREATE ") + ((ix.Primary || ix.Unique) ? "UNIQUE " : "") +
                              "INDEX " + Quote(sqlName) + " ON " + Quote(tbl) + " (";
            std::string where;
            for (size_t i = 0; i < ix.Fields.size(); ++i) {
                sql += (i ? ", " : "") + Quote(ix.Fields[i].Name) +
                       ((ix.Fields[i].Attributes & dbDescending) ? " DESC" : "");
                where += (i ? " OR " : "") + Quote(ix.Fields[i].Name) + " IS NOT NULL";
            }
            sql += ")";
            if (ix.IgnoreNulls && !ix.Primary) sql += " WHERE " + where;
            Exec(sql);
            break;
        }
    }
    analyze();
}

} // namespace k5::db::detail
