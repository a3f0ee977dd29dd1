#include "dbengine/FaultVfs.h"

#include <sqlite3.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace k5::db {

namespace {

// SQLite's default VFS, below every counting one; the methods are the same for all.
sqlite3_vfs* gReal = nullptr;
sqlite3_io_methods gMethods{};

// The real file lives right behind our header in the block SQLite allocates.
struct FaultFile {
    sqlite3_file base;
    Env* env;
    bool lossy; // a file whose writes may be lost
};

Env& EnvOf(sqlite3_file* f) {
    return *reinterpret_cast<FaultFile*>(f)->env;
}
Env& EnvOf(sqlite3_vfs* vfs) {
    return *static_cast<Env*>(vfs->pAppData);
}

sqlite3_file* Real(sqlite3_file* f) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<FaultFile*>(f) + 1);
}

int Injected(Env& env, const char* what, int ioError) {
    const SysResult injected = env.ChangePoint(what);
    if (injected.Ok()) return SQLITE_OK;
    return injected.error == ENOSPC ? SQLITE_FULL : ioError;
}

int Close(sqlite3_file* f) {
    sqlite3_file* r = Real(f);
    return r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
}
int Read(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
    return Real(f)->pMethods->xRead(Real(f), buf, n, off);
}
int Write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
    if (const int rc = Injected(EnvOf(f), "db-write", SQLITE_IOERR_WRITE)) return rc;
    if (reinterpret_cast<FaultFile*>(f)->lossy && EnvOf(f).LoseThisWrite()) return SQLITE_OK;
    return Real(f)->pMethods->xWrite(Real(f), buf, n, off);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    if (const int rc = Injected(EnvOf(f), "db-truncate", SQLITE_IOERR_TRUNCATE)) return rc;
    return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
    if (const int rc = Injected(EnvOf(f), "db-sync", SQLITE_IOERR_FSYNC)) return rc;
    return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xLock(Real(f), level);
}
int Unlock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xUnlock(Real(f), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) {
    return Real(f)->pMethods->xSectorSize(Real(f));
}
int DeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) {
    Real(f)->pMethods->xShmBarrier(Real(f));
}
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
    return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag);
}
// No memory mapping: every page goes through Read, as with the real file's default.
int Fetch(sqlite3_file*, sqlite3_int64, int, void** out) {
    *out = nullptr;
    return SQLITE_OK;
}
int Unfetch(sqlite3_file*, sqlite3_int64, void*) {
    return SQLITE_OK;
}

int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    sqlite3_file* r = Real(f);
    r->pMethods = nullptr;
    const int rc = gReal->xOpen(gReal, name, r, flags, outFlags);
    f->pMethods = r->pMethods ? &gMethods : nullptr;
    FaultFile* file = reinterpret_cast<FaultFile*>(f);
    file->env = &EnvOf(vfs);
    file->lossy = (flags & SQLITE_OPEN_MAIN_DB) && name != nullptr && file->env->LosesWritesTo(name);
    return rc;
}
int Delete(sqlite3_vfs* vfs, const char* name, int syncDir) {
    if (const int rc = Injected(EnvOf(vfs), "db-delete", SQLITE_IOERR_DELETE)) return rc;
    return gReal->xDelete(gReal, name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return gReal->xAccess(gReal, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return gReal->xFullPathname(gReal, name, n, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) {
    return gReal->xDlOpen(gReal, name);
}
void DlError(sqlite3_vfs*, int n, char* out) {
    gReal->xDlError(gReal, n, out);
}
void (*DlSym(sqlite3_vfs*, void* h, const char* sym))(void) {
    return gReal->xDlSym(gReal, h, sym);
}
void DlClose(sqlite3_vfs*, void* h) {
    gReal->xDlClose(gReal, h);
}
int Randomness(sqlite3_vfs*, int n, char* out) {
    return gReal->xRandomness(gReal, n, out);
}
int Sleep(sqlite3_vfs*, int us) {
    return gReal->xSleep(gReal, us);
}
int CurrentTime(sqlite3_vfs*, double* out) {
    return gReal->xCurrentTime(gReal, out);
}
int GetLastError(sqlite3_vfs*, int n, char* out) {
    return gReal->xGetLastError ? gReal->xGetLastError(gReal, n, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return gReal->xCurrentTimeInt64(gReal, out);
}

void InitMethods() {
    gMethods.iVersion = 3;
    gMethods.xClose = Close;
    gMethods.xRead = Read;
    gMethods.xWrite = Write;
    gMethods.xTruncate = Truncate;
    gMethods.xSync = Sync;
    gMethods.xFileSize = FileSize;
    gMethods.xLock = Lock;
    gMethods.xUnlock = Unlock;
    gMethods.xCheckReservedLock = CheckReservedLock;
    gMethods.xFileControl = FileControl;
    gMethods.xSectorSize = SectorSize;
    gMethods.xDeviceCharacteristics = DeviceCharacteristics;
    gMethods.xShmMap = ShmMap;
    gMethods.xShmLock = ShmLock;
    gMethods.xShmBarrier = ShmBarrier;
    gMethods.xShmUnmap = ShmUnmap;
    gMethods.xFetch = Fetch;
    gMethods.xUnfetch = Unfetch;
}

// One VFS for each Env, whose pAppData is that Env.
struct EnvVfs {
    std::string name;
    sqlite3_vfs vfs{};
};

void InitVfs(EnvVfs& v, Env& env) {
    sqlite3_vfs& out = v.vfs;
    out.iVersion = 2;
    out.pAppData = &env;
    out.szOsFile = static_cast<int>(sizeof(FaultFile)) + gReal->szOsFile;
    out.mxPathname = gReal->mxPathname;
    out.zName = v.name.c_str();
    out.xOpen = Open;
    out.xDelete = Delete;
    out.xAccess = Access;
    out.xFullPathname = FullPathname;
    out.xDlOpen = DlOpen;
    out.xDlError = DlError;
    out.xDlSym = DlSym;
    out.xDlClose = DlClose;
    out.xRandomness = Randomness;
    out.xSleep = Sleep;
    out.xCurrentTime = CurrentTime;
    out.xGetLastError = GetLastError;
    out.xCurrentTimeInt64 = CurrentTimeInt64;
}

} // namespace

const char* FaultVfsFor(Env& env) {
    if (!env.WatchesDatabaseWrites()) return nullptr;
    static std::mutex mutex;
    // Registered for the life of the process: SQLite keeps the pointer.
    static std::map<Env*, std::unique_ptr<EnvVfs>> registered;
    const std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<EnvVfs>& v = registered[&env];
    if (v) return v->name.c_str();
    if (gReal == nullptr) {
        sqlite3_initialize();
        gReal = sqlite3_vfs_find(nullptr);
        if (gReal == nullptr) return nullptr;
        InitMethods();
    }
    v = std::make_unique<EnvVfs>();
    v->name = "k5env" + std::to_string(registered.size());
    InitVfs(*v, env);
    sqlite3_vfs_register(&v->vfs, 0);
    return v->name.c_str();
}

} // namespace k5::db
