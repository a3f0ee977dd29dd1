#pragma once
// The run state: one record owned by the main window (or the headless front end) and
// read and written by every maintenance step.
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>

namespace k5 {

class FilesLib;
class RunLocks;

struct RunState {
    bool mProphylaxisOk = true;
    std::string mDataBaseFolder; // ends with "/" once the check pass has run
    std::string mProtocolFolder; // mDataBaseFolder + "Профилактика_БД/"
    std::string mDataBaseFile;   // mDataBaseFolder + "Korund5.mdb"
    std::string mLastVerFile;    // mDataBaseFolder + "Korund5_LastVer.mdb"
    // (the two database handles of the check pass are local to it)
    std::string mDataBaseVersion;
    std::string mLastVerVersion;
    double mDataBaseSizeBefore = 0;
    double mDataBaseSizeAfter = 0;
    std::shared_ptr<FilesLib> mFilesLib;
    bool mFilesLibErrorShown = false;
    std::string mBackupSuffix; // "_резервная_копия_" + RunStamp
    std::string mLogFileTxt;   // empty outside a run started by "Выполнить"
    std::string mLogFileRtf;
    bool mStopRequested = false;
    int32_t mMaxErrorMessages = 0; // 0 = no limit, never negative
    std::string mAdviceText;
    // Rows of each table of the repaired file as the protocol reported them: set by the copy,
    // changed by the clean-up; the file is checked against them before it replaces the main file.
    std::map<std::string, int64_t> mTableRows;
    // The folder and main file held by the check pass and the run behind it.
    std::shared_ptr<RunLocks> mRunLocks;
};

// Protocol folder name inside the database folder.
inline constexpr const char* kProtocolFolderName = "Профилактика_БД";

// 2021г03м15д09ч05м07с from the local date and time of `now`.
std::string RunStamp(std::time_t now);
std::string RunStampAt(int year, int month, int day, int hour, int minute, int second);
// 1234567 -> "1 234 567".
std::string ThisFotmat3(int32_t count);
// The limit field's text -> the larger of 0 and the value (0 when unreadable or out of range).
int32_t NormalizeLimit(const std::string& text);

} // namespace k5
