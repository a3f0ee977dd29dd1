#pragma once
// Helpers for the engine tests, used by the maintenance tests too.
#include "dbengine/DaoEngine.h"
#include "support/Common.h"

#include <QDir>
#include <QTemporaryDir>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace k5::db::test {

class ScratchDir {
public:
    std::string File(const std::string& name) const { return Path() + "/" + name; }
    std::string Path() const { return mDir.path().toStdString(); }

private:
    QTemporaryDir mDir{QDir::tempPath() + "/k5engine-XXXXXX"};
};

inline std::unique_ptr<Database> NewDb(const std::string& path) {
    return DBEngine::Instance().CreateDatabase(path, dbLangCyrillic, dbVersion40);
}

inline std::unique_ptr<Database> OpenDb(const std::string& path, bool exclusive = true,
                                        bool readOnly = false) {
    return DBEngine::Instance().OpenDatabase(path, exclusive, readOnly);
}

// Runs `f` and returns the engine error it raised (number 0 when none was raised).
template <class F> EngineError Catch(F&& f) {
    try {
        f();
    } catch (const EngineError& e) {
        return e;
    }
    return EngineError(0, "");
}

// Makes the one row with an overflow chain unreadable: the chain's next-page pointer is aimed
// past the end of the (closed) file.
inline void BreakOverflowChain(const std::string& path) {
    int64_t page = 0, bogus = 0, pageSize = 0;
    {
        auto db = OpenDb(path, true, true);
        auto rs = db->OpenRecordset("SELECT pageno, (SELECT page_count FROM pragma_page_count) + 1000, "
                                    "(SELECT page_size FROM pragma_page_size) FROM dbstat "
                                    "WHERE pagetype = 'overflow' ORDER BY path LIMIT 1");
        ASSERT_FALSE(rs->IsEOF()) << "no overflow page in " << path;
        page = VarToLng(rs->GetValue(0), 0), bogus = VarToLng(rs->GetValue(1), 0);
        pageSize = VarToLng(rs->GetValue(2), 0);
    }
    const char bytes[4] = {char(bogus >> 24), char(bogus >> 16), char(bogus >> 8), char(bogus)};
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp((page - 1) * pageSize);
    ASSERT_TRUE(f.write(bytes, 4).good());
}

// A child process that opens the file and keeps it until the holder goes.
class Holder {
public:
    Holder(const std::string& path, bool exclusive, bool readOnly) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        if ((mPid = ::fork()) == 0) {
            try {
                auto db = DBEngine::Instance().OpenDatabase(path, exclusive, readOnly);
                (void)!::write(ready[1], "y", 1);
                ::pause();
            } catch (...) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        char ok = 'n';
        mOpened = ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
    }
    ~Holder() {
        if (mPid > 0 && ::kill(mPid, SIGKILL) == 0) ::waitpid(mPid, nullptr, 0);
    }
    bool Opened() const { return mOpened; }

private:
    pid_t mPid = -1;
    bool mOpened = false;
};

} // namespace k5::db::test
