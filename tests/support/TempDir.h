#pragma once
// A scratch folder that disappears with the test.
#include <QDir>
#include <QTemporaryDir>

#include <fstream>
#include <string>

namespace k5test {

class TempDir {
public:
    TempDir() : mDir(QDir::tempPath() + "/k5support-XXXXXX") {}
    bool IsValid() const { return mDir.isValid(); }
    std::string Path() const { return mDir.path().toStdString(); }
    std::string Sub(const std::string& name) const { return Path() + "/" + name; }

private:
    QTemporaryDir mDir;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace k5test
