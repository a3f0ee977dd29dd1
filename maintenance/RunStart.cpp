#include "maintenance/RunStart.h"

#include "maintenance/DatabaseFiles.h"
#include "maintenance/Prophylaxis.h"
#include "support/Error.h"
#include "support/FileUtils.h"
#include "support/Settings.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace k5 {

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// True when a file of the run's names is there already, or when another run took the text
// log's name first. A protocol folder that cannot be written takes no name: the check pass
// reports it.
bool StampTaken(const RunState& st) {
    const std::string folder = st.mDataBaseFolder + kProtocolFolderName + "/";
    for (const std::string& name :
         {"Korund5" + st.mBackupSuffix + ".zip", "Korund5_BigDocs" + st.mBackupSuffix + ".zip"})
        if (Exists(folder + name)) return true;
    if (Exists(st.mLogFileRtf)) return true;
    const int fd = ::open(st.mLogFileTxt.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
    return fd < 0 && errno == EEXIST;
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

    // The wait comes first; a stamp whose archive or log is already on disk makes the start
    // wait for the next second, and the text log is created at once, so that two runs
    // started in the same second never share a name. The check pass would create the
    // protocol folder anyway; it is made here so that the name can be taken.
    const std::string protocolFolder = st.mDataBaseFolder + kProtocolFolderName + "/";
    if (!st.mDataBaseFolder.empty() && IsFolderExists(st.mDataBaseFolder))
        (void)::mkdir(protocolFolder.c_str(), 0777);
    do {
        ctx.env.Pause(Wait::RunStamp, ctx.ui);
        const std::string stamp = RunStamp(ctx.env.Now());
        st.mLogFileTxt = named ? protocolFolder + "Log_" + stamp + ".txt" : std::string();
        st.mLogFileRtf = named ? protocolFolder + "Log_" + stamp + ".rtf" : std::string();
        st.mBackupSuffix = "_резервная_копия_" + stamp;
    } while (StampTaken(st));
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
