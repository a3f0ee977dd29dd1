// The SQLite connection behind a database: opening, batching, progress, closing.
#include "dbengine/EngineInternal.h"

#include "support/Background.h"
#include "support/FileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

} // namespace

std::string PlainPath(const std::string& path) {
    if (path.rfind("file:", 0) == 0) return "./" + path;
    return path;
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

} // namespace k5::db::detail
