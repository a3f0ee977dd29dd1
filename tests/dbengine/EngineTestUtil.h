#pragma once
// Helpers for the engine tests: a scratch folder and short ways to build tables.
#include "dbengine/DaoEngine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace k5::db::test {

class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "k5engine-XXXXXX").string();
        mPath = ::mkdtemp(tmpl.data());
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
    std::string File(const std::string& name) const { return (std::filesystem::path(mPath) / name).string(); }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
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

inline bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace k5::db::test
