#include "maintenance/RunStart.h"

#include "maintenance/DatabaseFiles.h"
#include "maintenance/Prophylaxis.h"
#include "support/Error.h"
#include "support/FileUtils.h"
#include "support/Settings.h"

#include <chrono>

namespace k5 {

namespace {

void DefaultRunStampPause(MaintenanceContext& ctx) {
    YieldingPause(ctx.ui, std::chrono::seconds(1));
}

void PrepareRun(MaintenanceContext& ctx) {
    RunState& st = ctx.state;
    st.mStopRequested = false;
    st.mLogFileTxt.clear();
    st.mLogFileRtf.clear();
    st.mAdviceText.clear();

    std::string folder = ctx.options.FolderText();
    if (folder.empty()) folder = GetProductSetting_String(true, "General", "DataBasePath", std::string());
    if (!folder.empty() && folder.back() != '/') folder += '/';
    st.mDataBaseFolder = folder;
    // Without a folder the names would be relative to whatever the working folder is.
    const bool named = !folder.empty();

    // The wait comes first, so two runs never share a stamp; an archive of the stamp
    // already on disk makes the start wait for the next second.
    const std::string protocolFolder = st.mDataBaseFolder + kProtocolFolderName + "/";
    do {
        if (gRunStampPause) gRunStampPause(ctx);
        const std::string stamp = RunStamp();
        st.mLogFileTxt = named ? protocolFolder + "Log_" + stamp + ".txt" : std::string();
        st.mLogFileRtf = named ? protocolFolder + "Log_" + stamp + ".rtf" : std::string();
        st.mBackupSuffix = "_резервная_копия_" + stamp;
    } while (IsFileExists(protocolFolder + "Korund5" + st.mBackupSuffix + ".zip"));
}

// Saves the RTF log into the protocol folder when there is one; otherwise says why not.
std::string SaveLog(MaintenanceContext& ctx) {
    const RunState& st = ctx.state;
    if (st.mDataBaseFolder.empty() || st.mLogFileRtf.empty()) return "не задана папка базы данных.";
    if (!IsFolderExists(st.mDataBaseFolder))
        return "не найдена папка базы данных \"" + st.mDataBaseFolder + "\".";
    const std::string protocolFolder = st.mDataBaseFolder + kProtocolFolderName + "/";
    if (!IsFolderExists(protocolFolder)) return "не найдена папка \"" + protocolFolder + "\".";
    ctx.log.Pane().SaveRtf(st.mLogFileRtf);
    return std::string();
}

} // namespace

std::function<void(MaintenanceContext&)> gRunStampPause = DefaultRunStampPause;

std::string StartRun(MaintenanceContext& ctx) {
    try {
        PrepareRun(ctx);
        Prophylaxis(ctx, true);
        return SaveLog(ctx);
    }
    K5_TRAP(kFrm, "StartRun")
}

std::string StartCheckOnly(MaintenanceContext& ctx) {
    try {
        PrepareRun(ctx);
        Prophylaxis(ctx, false);
        return SaveLog(ctx);
    }
    K5_TRAP(kFrm, "StartCheckOnly")
}

} // namespace k5
