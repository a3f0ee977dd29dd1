#pragma once
// The file-system object of the accounting program's library: the eight operations the
// maintenance relies on. A failure of an operation is raised as a K5Error.
#include "support/Env.h"

#include <memory>
#include <string>
#include <vector>

namespace k5 {

class FilesLib {
public:
    // Its renames go through `env`.
    explicit FilesLib(Env& env) : mEnv(env) {}
    virtual ~FilesLib() = default;
    virtual bool FileExists(const std::string& fileName);
    // out2 = base name (no folder, no extension), out3 = extension without its dot.
    virtual void SplitFileName(const std::string& fileName, std::string& out1, std::string& out2,
                               std::string& out3, std::string& out4);
    // The mount point that holds the file (for a missing file: its folder); accepted by the
    // free-space query. Empty when neither exists.
    virtual std::string DiskName(const std::string& fileName);
    // Full names of the regular files in folder matching mask (case-insensitive, "*" and "?";
    // hidden files only when the mask starts with "."), sorted by name; a missing folder
    // has none. The two flags select nothing here.
    virtual std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask, bool flag1,
                                               bool flag2);
    virtual bool FolderExists(const std::string& folder);
    // Makes every missing level; an existing folder counts as made. reason = system text.
    virtual bool CreateFolder(const std::string& folder, std::string& reason);
    // Never overwrites: an existing newName is an error (EEXIST).
    virtual void RenameFile(const std::string& oldName, const std::string& newName);
    // Size in bytes of a file; a missing file or a folder is an error.
    virtual double FileSize(const std::string& fileName);

private:
    Env& mEnv;
};

// A new object, or nullptr when the Env cannot reach the library.
std::shared_ptr<FilesLib> CreateFilesLib(Env& env);

} // namespace k5
