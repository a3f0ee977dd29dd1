/* Read-only "sqlite_dbpage" table for SQLite libraries built without it (Debian's is): one row per
 * page of a database file (pgno, data; hidden argument: the schema, default "main"), which the
 * sqlite3 shell's ".recover" needs. Pages are read from the database file itself through the
 * connection's open file handle, never through the b-tree layer, so a damaged page reads as its
 * bytes instead of failing the query. Not seen: changes still in a WAL file or uncommitted in the
 * reading connection; a salvage reads a closed file in rollback-journal mode. */
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3

#include <string.h>

#include "k5dbpage.h"

enum { kColPgno = 0, kColData = 1, kColSchema = 2 };
enum { kBySchema = 1, kByPgno = 2 };
enum { kDefaultPageSize = 4096 };

typedef struct DbpageTable {
    sqlite3_vtab base;
    sqlite3* db;
} DbpageTable;

typedef struct DbpageCursor {
    sqlite3_vtab_cursor base;
    sqlite3_file* file;
    char* schema;
    int pageSize;
    sqlite3_int64 pgno; /* the current page, 1-based */
    sqlite3_int64 last; /* the last page of the scan */
    unsigned char* page;
} DbpageCursor;

static int DbpageConnect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
                         char** error) {
    int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(pgno INTEGER PRIMARY KEY, data BLOB, schema HIDDEN)");
    if (rc != SQLITE_OK) return rc;
    sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY);
    DbpageTable* t = sqlite3_malloc(sizeof(DbpageTable));
    if (t == NULL) return SQLITE_NOMEM;
    memset(t, 0, sizeof(*t));
    t->db = db;
    *out = &t->base;
    return SQLITE_OK;
}

static int DbpageDisconnect(sqlite3_vtab* vtab) {
    sqlite3_free(vtab);
    return SQLITE_OK;
}

/* Plans: a full scan, or one page by "pgno = ?"; the schema argument, when given, must be usable. */
static int DbpageBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
    int schema = -1, pgno = -1, i;
    for (i = 0; i < info->nConstraint; ++i) {
        const struct sqlite3_index_constraint* c = &info->aConstraint[i];
        if (c->op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
        if (c->iColumn == kColSchema) {
            if (!c->usable) return SQLITE_CONSTRAINT;
            schema = i;
        } else if (c->iColumn <= kColPgno && c->usable) {
            pgno = i;
        }
    }
    info->idxNum = 0;
    info->estimatedCost = 1000000.0;
    info->estimatedRows = 1000000;
    if (schema >= 0) {
        info->idxNum |= kBySchema;
        info->aConstraintUsage[schema].argvIndex = 1;
        info->aConstraintUsage[schema].omit = 1;
    }
    if (pgno >= 0) {
        info->idxNum |= kByPgno;
        info->aConstraintUsage[pgno].argvIndex = schema >= 0 ? 2 : 1;
        info->aConstraintUsage[pgno].omit = 1;
        info->estimatedCost = 1.0;
        info->estimatedRows = 1;
        info->idxFlags = SQLITE_INDEX_SCAN_UNIQUE;
    }
    /* Rows come in page order. */
    if (info->nOrderBy == 1 && info->aOrderBy[0].iColumn <= kColPgno && !info->aOrderBy[0].desc)
        info->orderByConsumed = 1;
    return SQLITE_OK;
}

static int DbpageOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out) {
    DbpageCursor* c = sqlite3_malloc(sizeof(DbpageCursor));
    if (c == NULL) return SQLITE_NOMEM;
    memset(c, 0, sizeof(*c));
    *out = &c->base;
    return SQLITE_OK;
}

static int DbpageClose(sqlite3_vtab_cursor* cursor) {
    DbpageCursor* c = (DbpageCursor*)cursor;
    sqlite3_free(c->schema);
    sqlite3_free(c->page);
    sqlite3_free(c);
    return SQLITE_OK;
}

/* The page size stored in the file header (bytes 16-17, big-endian, 1 meaning 65536). A header
 * that does not hold a valid size gives the library's default, so a file with a damaged first
 * page still lists its pages. */
static int HeaderPageSize(sqlite3_file* file) {
    unsigned char b[2];
    int size;
    if (file->pMethods->xRead(file, b, 2, 16) != SQLITE_OK) return kDefaultPageSize;
    size = b[0] << 8 | b[1];
    if (size == 1) size = 65536;
    if (size < 512 || size > 65536 || (size & (size - 1)) != 0) return kDefaultPageSize;
    return size;
}

static int DbpageFilter(sqlite3_vtab_cursor* cursor, int idxNum, const char* idxStr, int argc,
                        sqlite3_value** argv) {
    DbpageCursor* c = (DbpageCursor*)cursor;
    DbpageTable* t = (DbpageTable*)cursor->pVtab;
    const char* schema = "main";
    sqlite3_int64 fileSize = 0;
    int arg = 0, rc;
    c->file = NULL;
    c->pgno = 1;
    c->last = 0;
    if (idxNum & kBySchema) {
        schema = (const char*)sqlite3_value_text(argv[arg++]);
        if (schema == NULL) schema = "main";
    }
    sqlite3_free(c->schema);
    c->schema = sqlite3_mprintf("%s", schema);
    if (c->schema == NULL) return SQLITE_NOMEM;
    rc = sqlite3_file_control(t->db, schema, SQLITE_FCNTL_FILE_POINTER, &c->file);
    if (rc != SQLITE_OK || c->file == NULL) {
        sqlite3_free(t->base.zErrMsg);
        t->base.zErrMsg = sqlite3_mprintf("no such schema: %s", schema);
        return SQLITE_ERROR;
    }
    /* A database without a file (never written temp database) has no pages. */
    if (c->file->pMethods == NULL) return SQLITE_OK;
    rc = c->file->pMethods->xFileSize(c->file, &fileSize);
    if (rc != SQLITE_OK) return rc;
    if (fileSize == 0) return SQLITE_OK;
    c->pageSize = HeaderPageSize(c->file);
    /* A torn last page is listed too: the library fills what the file lacks with zeros. */
    c->last = (fileSize + c->pageSize - 1) / c->pageSize;
    if (idxNum & kByPgno) {
        const sqlite3_int64 wanted = sqlite3_value_int64(argv[arg]);
        if (wanted < 1 || wanted > c->last) {
            c->last = 0;
        } else {
            c->pgno = wanted;
            c->last = wanted;
        }
    }
    sqlite3_free(c->page);
    c->page = sqlite3_malloc(c->pageSize);
    return c->page == NULL ? SQLITE_NOMEM : SQLITE_OK;
}

static int DbpageNext(sqlite3_vtab_cursor* cursor) {
    ++((DbpageCursor*)cursor)->pgno;
    return SQLITE_OK;
}

static int DbpageEof(sqlite3_vtab_cursor* cursor) {
    const DbpageCursor* c = (const DbpageCursor*)cursor;
    return c->pgno > c->last;
}

static int DbpageColumn(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column) {
    DbpageCursor* c = (DbpageCursor*)cursor;
    int rc;
    switch (column) {
    case kColPgno:
        sqlite3_result_int64(ctx, c->pgno);
        break;
    case kColData:
        rc = c->file->pMethods->xRead(c->file, c->page, c->pageSize, (c->pgno - 1) * c->pageSize);
        if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ) return rc;
        sqlite3_result_blob(ctx, c->page, c->pageSize, SQLITE_TRANSIENT);
        break;
    default:
        sqlite3_result_text(ctx, c->schema, -1, SQLITE_TRANSIENT);
        break;
    }
    return SQLITE_OK;
}

static int DbpageRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
    *rowid = ((DbpageCursor*)cursor)->pgno;
    return SQLITE_OK;
}

/* No xCreate: the table exists only under the module's own name, as sqlite_dbpage('schema'). */
static sqlite3_module DbpageModule = {
    0,                /* iVersion */
    NULL,             /* xCreate */
    DbpageConnect,    /* xConnect */
    DbpageBestIndex,  /* xBestIndex */
    DbpageDisconnect, /* xDisconnect */
    NULL,             /* xDestroy */
    DbpageOpen,       /* xOpen */
    DbpageClose,      /* xClose */
    DbpageFilter,     /* xFilter */
    DbpageNext,       /* xNext */
    DbpageEof,        /* xEof */
    DbpageColumn,     /* xColumn */
    DbpageRowid,      /* xRowid */
    NULL,             /* xUpdate */
    NULL,             /* xBegin */
    NULL,             /* xSync */
    NULL,             /* xCommit */
    NULL,             /* xRollback */
    NULL,             /* xFindFunction */
    NULL,             /* xRename */
    NULL,             /* xSavepoint */
    NULL,             /* xRelease */
    NULL,             /* xRollbackTo */
    NULL              /* xShadowName */
};

int k5_dbpage_register(sqlite3* db) {
    return sqlite3_create_module(db, "sqlite_dbpage", &DbpageModule, NULL);
}
