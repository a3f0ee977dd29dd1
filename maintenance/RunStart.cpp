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

    // The wait comes first, so two runs never share a stamp; an archive of the stamp
    // already on disk makes the start wait for the next second.
    const std::string protocolFolder = st.mDataBaseFolder + kProtocolFolderName + "/";
    do {
        if (gRunStampPause) gRunStampPause(ctx);
        const std::string stamp = RunStamp();
        st.mLogFileTxt = protocolFolder + "Log_" + stamp + ".txt";
        st.mLogFileRtf = protocolFolder + "Log_" + stamp + ".rtf";
        st.mBackupSuffix = "_резервная_копия_" + stamp;
    } while (IsFileExists(protocolFolder + "Korund5" + st.mBackupSuffix + ".zip"));
}

} // namespace

std::function<void(MaintenanceContext&)> gRunStampPause = DefaultRunStampPause;

void StartRun(MaintenanceContext& ctx) {
    try {
        PrepareRun(ctx);
        Prophylaxis(ctx, true);
        ctx.log.Pane().SaveRtf(ctx.state.mLogFileRtf);
    }
    K5_TRAP(kFrm, "StartRun")
}

void StartCheckOnly(MaintenanceContext& ctx) {
    try {
        PrepareRun(ctx);
        Prophylaxis(ctx, false);
        ctx.log.Pane().SaveRtf(ctx.state.mLogFileRtf);
    }
    K5_TRAP(kFrm, "StartCheckOnly")
}

} // namespace k5
