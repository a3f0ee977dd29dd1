#pragma once
// Scratch databases for the copy and clean-up tests: built with our engine in a temporary
// folder, with a fixed protocol stamp so that whole protocol texts can be compared.
#include "maintenance/Context.h"
#include "support/ScriptedInteraction.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace k5::copytest {

inline constexpr const char* kStamp = "2021.03.15 09:05:07: ";

// One column of a scratch table: name and type (size 0 = the type's default).
struct Col {
    std::string name;
    int type = db::dbLong;
    int size = 0;
};

inline db::TableDef MakeDef(db::Database& database, const std::string& name, const std::vector<Col>& cols,
                            const std::vector<std::string>& primaryKey = {}) {
    db::TableDef def = database.CreateTableDef(name);
    for (const Col& c : cols)
        def.Fields.push_back(def.CreateField(c.name, c.type, c.size));
    if (!primaryKey.empty()) {
        db::Index pk = def.CreateIndex("PrimaryKey");
        for (const std::string& f : primaryKey)
            pk.Fields.push_back(pk.CreateField(f));
        pk.Primary = true;
        pk.Unique = true;
        def.Indexes.push_back(pk);
    }
    return def;
}

inline void AddTable(db::Database& database, const std::string& name, const std::vector<Col>& cols,
                     const std::vector<std::string>& primaryKey = {}) {
    database.AppendTableDef(MakeDef(database, name, cols, primaryKey));
}

inline void AddRow(db::Database& database, const std::string& table, const std::vector<Value>& values) {
    auto rs = database.OpenRecordset(table, db::dbOpenTable);
    rs->AddNew();
    for (size_t i = 0; i < values.size(); ++i)
        rs->SetValue(static_cast<int>(i), values[i]);
    rs->Update();
    rs->Close();
}

inline void AddRows(db::Database& database, const std::string& table,
                    const std::vector<std::vector<Value>>& rows) {
    auto rs = database.OpenRecordset(table, db::dbOpenTable);
    for (const auto& values : rows) {
        rs->AddNew();
        for (size_t i = 0; i < values.size(); ++i)
            rs->SetValue(static_cast<int>(i), values[i]);
        rs->Update();
    }
    rs->Close();
}

inline int64_t Count(db::Database& database, const std::string& table) {
    auto rs = database.OpenRecordset(table, db::dbOpenTable);
    const int64_t n = rs->RecordCount();
    rs->Close();
    return n;
}

// The values of one column, in stored order.
inline std::vector<Value> Column(db::Database& database, const std::string& table,
                                 const std::string& column) {
    std::vector<Value> out;
    auto rs = database.OpenRecordset(table, db::dbOpenTable);
    if (rs->RecordCount() == 0) return out;
    rs->MoveFirst();
    while (!rs->IsEOF()) {
        out.push_back(rs->GetValue(column));
        rs->MoveNext();
    }
    rs->Close();
    return out;
}

inline std::vector<Value> Longs(std::initializer_list<int32_t> values) {
    std::vector<Value> out;
    for (int32_t v : values)
        out.emplace_back(v);
    return out;
}

// A blob larger than any page, so that it lives in an overflow chain.
inline Bytes BigBlob(uint8_t fill = 0x5A) {
    return Bytes(200000, fill);
}

// Makes the one row that holds an overflow chain unreadable: the first overflow page's
// pointer to the next page is aimed past the end of the file. The file must be closed.
inline void BreakOverflowChain(const std::string& path) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle,
                                 "SELECT pageno, (SELECT page_count FROM pragma_page_count), "
                                 "(SELECT page_size FROM pragma_page_size) FROM dbstat "
                                 "WHERE pagetype = 'overflow' ORDER BY path LIMIT 1",
                                 -1, &stmt, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(handle);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW) << "no overflow page in " << path;
    const int64_t page = sqlite3_column_int64(stmt, 0);
    const int64_t pageCount = sqlite3_column_int64(stmt, 1);
    const int64_t pageSize = sqlite3_column_int64(stmt, 2);
    sqlite3_finalize(stmt);
    sqlite3_close(handle);

    const uint32_t bogus = static_cast<uint32_t>(pageCount + 1000);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(bogus >> 24), static_cast<unsigned char>(bogus >> 16),
        static_cast<unsigned char>(bogus >> 8), static_cast<unsigned char>(bogus)};
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.good());
    f.seekp((page - 1) * pageSize);
    f.write(reinterpret_cast<const char*>(bytes), 4);
}

// Another process that holds a database open exclusively until destroyed.
class HeldByOtherProcess {
public:
    explicit HeldByOtherProcess(const std::string& path) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) return;
        mPid = fork();
        if (mPid == 0) {
            close(ready[0]);
            close(release[1]);
            char ok = 'n';
            try {
                auto held = db::DBEngine::Instance().OpenDatabase(path, true, false);
                ok = 'y';
                (void)!write(ready[1], &ok, 1);
                char c;
                while (read(release[0], &c, 1) > 0) {
                }
            } catch (...) {
                (void)!write(ready[1], &ok, 1);
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        mRelease = release[1];
        char c = 'n';
        if (read(ready[0], &c, 1) == 1) mHeld = c == 'y';
        close(ready[0]);
    }
    ~HeldByOtherProcess() {
        if (mRelease >= 0) close(mRelease);
        if (mPid > 0) waitpid(mPid, nullptr, 0);
    }
    bool Held() const { return mHeld; }

private:
    pid_t mPid = -1;
    int mRelease = -1;
    bool mHeld = false;
};

struct CopyFixture : ::testing::Test {
    RunState state;
    ScriptedInteraction ui;
    RunProtocol log{state, ui};
    FixedRunOptions options;
    MaintenanceContext ctx{state, log, ui, options, db::DBEngine::Instance()};
    QTemporaryDir dir;

    CopyFixture() {
        log.stampSource = [] { return std::string(kStamp); };
        state.mDataBaseFolder = Path("");
    }
    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    std::unique_ptr<db::Database> Create(const std::string& name) {
        return ctx.engine.CreateDatabase(Path(name), db::dbLangCyrillic, db::dbVersion40);
    }
    std::unique_ptr<db::Database> Open(const std::string& name, bool readOnly = false) {
        return ctx.engine.OpenDatabase(Path(name), true, readOnly);
    }
    std::string Pane() { return log.Pane().Text(); }
};

} // namespace k5::copytest
