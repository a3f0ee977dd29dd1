#include "Damage.h"

#include "support/Error.h"

#include <cstdio>
#include <filesystem>
#include <sqlite3.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace k5demo {
namespace {

class Db {
public:
    explicit Db(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &mDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) Fail("open");
    }
    ~Db() { sqlite3_close(mDb); }
    [[noreturn]] void Fail(const std::string& what) {
        throw std::runtime_error("damage: " + what + ": " + sqlite3_errmsg(mDb));
    }
    sqlite3_stmt* Prepare(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(mDb, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) Fail(sql);
        return st;
    }

private:
    sqlite3* mDb = nullptr;
};

std::string Text(sqlite3_stmt* st, int col) {
    const unsigned char* t = sqlite3_column_text(st, col);
    return t ? reinterpret_cast<const char*>(t) : "";
}

} // namespace

DamageResult BreakOverflowChain(const std::string& path, const std::string& table, const std::string& field,
                                int32_t id) {
    try {
        namespace fs = std::filesystem;
        if (fs::exists(path + "-wal") || fs::exists(path + "-journal"))
            throw std::runtime_error("damage: " + path + " still has a journal; close the database first");

        std::vector<uint32_t> firstPages;
        {
            Db db(path);
            sqlite3_stmt* st = db.Prepare("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?1 "
                                          "COLLATE NOCASE");
            sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
            std::string stored;
            if (sqlite3_step(st) == SQLITE_ROW) stored = Text(st, 0);
            sqlite3_finalize(st);
            if (stored.empty()) throw std::runtime_error("damage: no table " + table + " in " + path);

            // The row to break must be the one holding the big value.
            std::string quoted = "\"" + stored + "\"";
            st = db.Prepare("SELECT count(*) FROM " + quoted + " WHERE \"Id\" = ?1 AND length(CAST(\"" +
                            field + "\" AS BLOB)) > 65536");
            sqlite3_bind_int(st, 1, id);
            const bool found = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == 1;
            sqlite3_finalize(st);
            if (!found)
                throw std::runtime_error("damage: row Id " + std::to_string(id) + " of " + table +
                                         " holds no big value");

            // Overflow pages are listed by their cell's path; "+000000" is the first of a chain.
            st = db.Prepare(
                "SELECT path, pageno FROM dbstat WHERE name = ?1 AND pagetype = 'overflow' ORDER BY path");
            sqlite3_bind_text(st, 1, stored.c_str(), -1, SQLITE_TRANSIENT);
            while (sqlite3_step(st) == SQLITE_ROW) {
                const std::string p = Text(st, 0);
                if (p.size() >= 7 && p.compare(p.size() - 7, 7, "+000000") == 0)
                    firstPages.push_back(static_cast<uint32_t>(sqlite3_column_int64(st, 1)));
            }
            sqlite3_finalize(st);
        }
        if (firstPages.size() != 1)
            throw std::runtime_error("damage: expected one overflow chain in " + table + ", found " +
                                     std::to_string(firstPages.size()));

        FILE* f = std::fopen(path.c_str(), "r+b");
        if (!f) throw std::runtime_error("damage: cannot open " + path + " for writing");
        unsigned char header[18];
        if (std::fread(header, 1, sizeof header, f) != sizeof header) {
            std::fclose(f);
            throw std::runtime_error("damage: cannot read the header of " + path);
        }
        uint32_t pageSize = (static_cast<uint32_t>(header[16]) << 8) | header[17];
        if (pageSize == 1) pageSize = 65536;
        const auto fileSize = static_cast<uint64_t>(fs::file_size(path));
        DamageResult r;
        r.Page = firstPages.front();
        r.PageCount = static_cast<uint32_t>(fileSize / pageSize);
        // The next-page number of the first overflow page now points past the end of the file.
        const uint32_t next = r.PageCount + 1000;
        const unsigned char bytes[4] = {
            static_cast<unsigned char>(next >> 24), static_cast<unsigned char>(next >> 16),
            static_cast<unsigned char>(next >> 8), static_cast<unsigned char>(next)};
        const bool ok =
            std::fseek(f, static_cast<long>(static_cast<uint64_t>(r.Page - 1) * pageSize), SEEK_SET) == 0 &&
            std::fwrite(bytes, 1, 4, f) == 4 && std::fflush(f) == 0 && fsync(fileno(f)) == 0;
        std::fclose(f);
        if (!ok)
            throw std::runtime_error("damage: cannot write page " + std::to_string(r.Page) + " of " + path);
        return r;
    }
    K5_TRAP("k5demo", "BreakOverflowChain")
}

} // namespace k5demo
