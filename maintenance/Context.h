#pragma once
// What every maintenance step reaches: the run state, the protocol, the user, the outside
// world (files, clock, waits), the window's options (read when a step reaches them) and the
// engine.
#include "dbengine/DaoEngine.h"
#include "protocol/RunProtocol.h"
#include "protocol/RunState.h"
#include "support/Background.h"
#include "support/Env.h"
#include "support/UserInteraction.h"

#include <functional>
#include <string>

namespace k5 {

// The options and fields of the main window. The window reads its controls; the
// headless front end and the tests hold plain values.
class RunOptions {
public:
    virtual ~RunOptions() = default;
    virtual bool RemoveOrphaned() = 0;        // theRemoveOrphaned
    virtual bool ClearPfrErrors() = 0;        // theClearPfrErrors
    virtual bool RemoveOrphanedBigDocs() = 0; // theRemoveOrphanedBigDocs
    virtual bool CompactBigDocs() = 0;        // theCompactBigDocs
    virtual bool ZipAndRename() = 0;          // theZipAndRename
    virtual std::string LimitText() = 0;      // theLimitMessages
    virtual void SetLimitText(const std::string& text) = 0;
    virtual std::string FolderText() = 0;     // Text2
    virtual void SetFolderText(const std::string& text) = 0;
};

class FixedRunOptions : public RunOptions {
public:
    bool removeOrphaned = false, clearPfrErrors = false, removeOrphanedBigDocs = false, compactBigDocs = false,
         zipAndRename = false;
    std::string limitText, folderText;

    bool RemoveOrphaned() override { return removeOrphaned; }
    bool ClearPfrErrors() override { return clearPfrErrors; }
    bool RemoveOrphanedBigDocs() override { return removeOrphanedBigDocs; }
    bool CompactBigDocs() override { return compactBigDocs; }
    bool ZipAndRename() override { return zipAndRename; }
    std::string LimitText() override { return limitText; }
    void SetLimitText(const std::string& text) override { limitText = text; }
    std::string FolderText() override { return folderText; }
    void SetFolderText(const std::string& text) override { folderText = text; }
};

struct MaintenanceContext {
    RunState& state;
    RunProtocol& log;
    UserInteraction& ui;
    Env& env;
    RunOptions& options;
    db::DBEngine& engine;
};

// Removing, moving and flushing a main file of gigabytes can block for seconds (the file
// system writes the file's data out first): such calls run on a helper thread while the
// user's event loop keeps its turns. `work` must not touch the user or the protocol.
inline void InBackground(MaintenanceContext& ctx, const std::function<void()>& work) {
    RunWithTicks(work, [&ctx] { ctx.ui.YieldOnce(); });
}

// Module names written into location lines.
inline constexpr const char* kFrm = "ProphylaxisFrm";
inline constexpr const char* kModMain = "miVedovodeduzOR";

} // namespace k5
