#pragma once
// Helpers for the engine tests: a scratch folder and short ways to build tables.
#include "dbengine/DaoEngine.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>

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

} // namespace k5::db::test
