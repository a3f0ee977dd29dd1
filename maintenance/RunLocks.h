#pragma once
// What a run holds from the start of its check pass to its end: its database folder, so that
// two runs never work on one folder, and the main file once the check has read it.
#include "dbengine/DaoEngine.h"

#include <memory>
#include <string>

namespace k5 {

class RunLocks {
public:
    // Takes the folder when no other run holds it.
    explicit RunLocks(const std::string& folder);
    ~RunLocks();
    RunLocks(const RunLocks&) = delete;
    RunLocks& operator=(const RunLocks&) = delete;

    // True when another run holds the folder.
    bool FolderInUse() const { return mFolderInUse; }
    // Holds the main file until the locks go (DBEngine::HoldFile; its errors are raised).
    void HoldMainFile(db::DBEngine& engine, const std::string& path);
    // Null until the main file is held.
    const db::FileHold* MainFile() const { return mMainFile.get(); }

private:
    int mFolderFd = -1;
    bool mFolderInUse = false;
    std::unique_ptr<db::FileHold> mMainFile;
};

} // namespace k5
