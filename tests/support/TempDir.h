#pragma once
// A scratch folder that disappears with the test, and small helpers shared by the tests.
#include "support/Error.h"

#include "common/TestUtil.h"

#include <QDir>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace k5test {

class TempDir {
public:
    std::string Path() const { return mDir.path().toStdString(); }
    std::string Sub(const std::string& name) const { return Path() + "/" + name; }

private:
    QTemporaryDir mDir{QDir::tempPath() + "/k5support-XXXXXX"};
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The error `f` raised; a failure when it raised none.
inline k5::K5Error Caught(const std::function<void()>& f) {
    try {
        f();
    } catch (const k5::K5Error& e) {
        return e;
    }
    ADD_FAILURE() << "no error was raised";
    return k5::K5Error(0, "", "");
}

} // namespace k5test
