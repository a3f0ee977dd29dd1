// Loadable SQLite extension for the sqlite3 shell's ".recover" on our files (bench/recover_peer.sh):
// the "sqlite_dbpage" table that the system library lacks, and the "K5RU" text order. Both are
// registered on every connection opened after loading, because ".recover" writes the recovered
// schema through a connection of its own.
#include "bench/k5dbpage.h"
#include "dbengine/K5Collation.h"

#include <sqlite3ext.h>
extern "C" {
SQLITE_EXTENSION_INIT1
}

namespace {
int Compare(void*, int na, const void* a, int nb, const void* b) {
    return k5::db::collation::Compare(static_cast<const char*>(a), na, static_cast<const char*>(b), nb);
}

int Register(sqlite3* db, char**, const sqlite3_api_routines*) {
    const int rc = sqlite3_create_collation_v2(db, "K5RU", SQLITE_UTF8, nullptr, Compare, nullptr);
    return rc != SQLITE_OK ? rc : k5_dbpage_register(db);
}
} // namespace

// SQLite derives the entry point from the file name's letters ("krecover").
extern "C" int sqlite3_krecover_init(sqlite3* db, char** error, const sqlite3_api_routines* api) {
    SQLITE_EXTENSION_INIT2(api);
    // The library is linked with -z nodelete: the entry stays valid after this connection closes.
    const int rc = sqlite3_auto_extension(reinterpret_cast<void (*)()>(Register));
    return rc != SQLITE_OK ? rc : Register(db, error, api);
}
