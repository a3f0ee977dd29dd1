// Loadable SQLite extension registering the engine's "K5RU" text order (sqlite3 shell: .load k5collation).
#include "dbengine/K5Collation.h"

#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

namespace {
int Compare(void*, int na, const void* a, int nb, const void* b) {
    return k5::db::collation::Compare(static_cast<const char*>(a), na, static_cast<const char*>(b), nb);
}
} // namespace

// SQLite derives the entry point from the file name's letters ("kcollation"); the generic one also works.
extern "C" int sqlite3_kcollation_init(sqlite3* db, char**, const sqlite3_api_routines* api) {
    SQLITE_EXTENSION_INIT2(api);
    return sqlite3_create_collation_v2(db, "K5RU", SQLITE_UTF8, nullptr, Compare, nullptr);
}

extern "C" int sqlite3_extension_init(sqlite3* db, char** error, const sqlite3_api_routines* api) {
    return sqlite3_kcollation_init(db, error, api);
}
