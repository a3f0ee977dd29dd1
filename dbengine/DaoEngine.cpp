// DBEngine: creating, opening, holding and compacting database files.
#include "dbengine/EngineInternal.h"
#include "dbengine/FaultVfs.h"
#include "support/Assert.h"
#include "support/Background.h"
#include "support/FileUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace k5::db {

using namespace detail;

namespace {

// The copy and its folder entry on disk; a failure is the engine's disk error.
void Flush(Env& env, const std::string& path) {
    const SysResult flushed = SyncFileAndFolder(env, PlainPath(path));
    if (!flushed.Ok())
        Raise(3043, "Ошибка диска или сети. [" + std::string(std::strerror(flushed.error)) + "]");
}

} // namespace

DBEngine::DBEngine(Env& env) : mEnv(env), mVfs(FaultVfsFor(env)) {}

DBEngine& DBEngine::Instance() {
    static DBEngine engine;
    return engine;
}

void DBEngine::SetProgressHook(ProgressHook hook) {
    if (!hook) {
        mProgress = nullptr;
        return;
    }
    mProgress = [hook = std::move(hook), owner = OwnerThread()](int64_t done, int64_t total) {
        K5_ASSERT(owner.IsCurrent());
        hook(done, total);
    };
}

std::string DBEngine::Version() const {
    return std::string(kFormatVersion) + " (SQLite " + sqlite3_libversion() + ")";
}

std::unique_ptr<Database> DBEngine::CreateDatabase(const std::string& path, const std::string& locale,
                                                   int options) {
    auto conn = OpenConnection(path, true, false, true, mProgress, mVfs);
    if (!locale.empty()) {
        sqlite3_stmt* st = conn->Prepare("INSERT OR REPLACE INTO _k5_meta(key, value) VALUES ('locale', ?1)");
        sqlite3_bind_text(st, 1, locale.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }
    return MakeDatabase(std::move(conn));
}

std::unique_ptr<Database> DBEngine::OpenDatabase(const std::string& path, bool exclusive, bool readOnly) {
    return MakeDatabase(OpenConnection(path, exclusive, readOnly, false, mProgress, mVfs));
}

std::unique_ptr<FileHold> DBEngine::HoldFile(const std::string& path) {
    return detail::HoldFile(path);
}

bool DBEngine::IsCompact(const std::string& path) {
    std::shared_ptr<detail::Connection> conn;
    try {
        conn = OpenConnection(path, false, true, false, mProgress, mVfs);
    } catch (const K5Error&) {
        return false;
    }
    auto number = [&](const std::string& sql) {
        int64_t value = -1;
        sqlite3_stmt* st = nullptr;
        if (conn->db != nullptr && sqlite3_prepare_v2(conn->db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            value = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return value;
    };
    const int64_t pages = number("PRAGMA page_count"), free = number("PRAGMA freelist_count");
    const int64_t pendingIndexes = conn->hasCatalog
                                       ? number(std::string("SELECT count(*) FROM _k5_indexes i WHERE ") +
                                                detail::Connection::kPendingIndex)
                                       : 0;
    conn->CloseAll();
    return pages > 0 && free >= 0 && free * 100 < pages && pendingIndexes == 0;
}

void DBEngine::CompactDatabase(const std::string& source, const std::string& destination) {
    const std::string dst = PlainPath(destination);
    struct stat st {};
    if (::lstat(dst.c_str(), &st) == 0) Raise(3204, "База данных уже существует.");
    {
        const auto slash = dst.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : dst.substr(0, slash);
        struct stat fst {};
        if (::stat(folder.c_str(), &fst) != 0 || !S_ISDIR(fst.st_mode))
            Raise(3044,
                  "'" + destination +
                      "' не является допустимым путем. Убедитесь, что путь введен правильно и что имеется "
                      "подключение к серверу, на котором находится файл.");
    }
    auto src = OpenConnection(source, false, true, false, mProgress, mVfs);
    auto removeDestination = [&] {
        ::unlink(dst.c_str());
        ::unlink((dst + "-journal").c_str());
    };
    int rc = SQLITE_OK;
    std::string message;
    bool damaged = false;
    try {
        src->RunLong([&] {
            sqlite3_stmt* vac = src->Prepare("VACUUM INTO ?1");
            sqlite3_bind_text(vac, 1, dst.c_str(), -1, SQLITE_TRANSIENT);
            rc = sqlite3_step(vac);
            message = sqlite3_errmsg(src->db);
            sqlite3_finalize(vac);
            if (rc == SQLITE_DONE || rc == SQLITE_INTERRUPT) return;
            // A damaged source can make the copy fail with any code; tell it as damage.
            sqlite3_stmt* qc = nullptr;
            damaged = true;
            if (sqlite3_prepare_v2(src->db, "PRAGMA quick_check", -1, &qc, nullptr) == SQLITE_OK &&
                sqlite3_step(qc) == SQLITE_ROW) {
                const char* line = reinterpret_cast<const char*>(sqlite3_column_text(qc, 0));
                damaged = !line || std::string(line) != "ok";
            }
            sqlite3_finalize(qc);
        });
    } catch (...) {
        removeDestination();
        throw;
    }
    if (rc != SQLITE_DONE) {
        removeDestination();
        if (damaged) Raise(3049, TextDamaged(source));
        RaiseSqlite(nullptr, rc, source + " [" + message + "]");
    }
    src->CloseAll();
    // Flushing a copy of gigabytes takes seconds: it runs in the background while the
    // progress hook keeps the caller's event loop alive.
    std::function<void()> tick;
    if (mProgress) tick = [this] { mProgress(0, 0); };
    try {
        // The copy reaches the disk first, so the commit below has little left to flush.
        RunWithTicks([&] { Flush(mEnv, destination); }, tick);
        // Indexes that the source had not built yet are built in the copy.
        auto out = OpenConnection(destination, true, false, false, mProgress, mVfs);
        out->RunLong([&] {
            out->BuildPendingIndexes();
            out->Commit();
        });
        out->CloseAll();
        RunWithTicks([&] { Flush(mEnv, destination); }, tick);
    } catch (...) {
        removeDestination();
        throw;
    }
}

} // namespace k5::db
