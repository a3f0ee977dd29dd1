/* The read-only "sqlite_dbpage" table of bench/k5dbpage.c. */
#ifndef K5_BENCH_DBPAGE_H
#define K5_BENCH_DBPAGE_H

#include <sqlite3ext.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Registers the table on one connection; the extension's API pointer must be set. */
int k5_dbpage_register(sqlite3* db);

#ifdef __cplusplus
}
#endif

#endif
