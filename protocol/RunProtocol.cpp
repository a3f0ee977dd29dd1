#include "protocol/RunProtocol.h"

#include "support/Codepage.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/UserInteraction.h"

#include <cstdio>
#include <ctime>

namespace k5 {

namespace {
constexpr const char* kMarker = " ...";
constexpr int64_t kMarkerLength = 4;
} // namespace

RunProtocol::RunProtocol(RunState& state, UserInteraction& ui, Env& env) : mState(state), mUi(ui), mEnv(env) {}

static uint32_t ColourFor(bool success, std::optional<uint32_t> colour) {
    return colour ? *colour : (success ? kColourBlack : kColourDarkRed);
}

void RunProtocol::Finish(bool success) {
    mUi.YieldOnce();
    mState.mProphylaxisOk = mState.mProphylaxisOk && success;
    ++mEntries;
    mEnv.EntryFinished(mEntries);
}

void RunProtocol::LogAdd(const std::string& text, bool success, std::optional<uint32_t> colour,
                         std::optional<bool> bold) {
    try {
        const std::string message = EscapeControls(text, true);
        mPane.SetSelection(mPane.Length(), 0);
        mPane.ReplaceSelection(mEnv.ProtocolStamp(), kColourBlack, false);
        mPane.SetSelection(mPane.Length(), 0);
        mPane.ReplaceSelection(message + "\r\n", ColourFor(success, colour), bold.value_or(false));
        WriteIntoLogFile(message);
        Finish(success);
    }
    K5_TRAP("ProphylaxisFrm", "LogAdd")
}

void RunProtocol::LogAddBegin(const std::string& text, bool success, std::optional<uint32_t> colour,
                              std::optional<bool> bold) {
    try {
        const std::string message = EscapeControls(text, true);
        const std::string stamp = mEnv.ProtocolStamp();
        mPane.SetSelection(mPane.Length(), 0);
        mPane.ReplaceSelection(stamp, kColourBlack, false);
        mPane.SetSelection(mPane.Length(), 0);
        mPane.ReplaceSelection(message + kMarker, ColourFor(success, colour), bold.value_or(false));
        WriteIntoLogFile(stamp + message);
        Finish(success);
    }
    K5_TRAP("ProphylaxisFrm", "LogAddBegin")
}

void RunProtocol::LogAddEnd(const std::string& text, bool success, std::optional<uint32_t> colour,
                            std::optional<bool> bold) {
    try {
        const std::string message = EscapeControls(text, true);
        const int64_t len = mPane.Length();
        mPane.SetSelection(len - kMarkerLength, kMarkerLength);
        if (len < kMarkerLength || mPane.SelectedText() != kMarker) mPane.SetSelection(len, 0);
        mPane.ReplaceSelection(message + "\r\n", ColourFor(success, colour), bold.value_or(false));
        if (!message.empty()) WriteIntoLogFile(message);
        Finish(success);
    }
    K5_TRAP("ProphylaxisFrm", "LogAddEnd")
}

void RunProtocol::WriteIntoLogFile(const std::string& line) {
    // The text log never fails a run: a line that cannot be written is simply lost.
    if (mState.mLogFileTxt.empty()) return;
    FILE* f = std::fopen(mState.mLogFileTxt.c_str(), "ab");
    if (!f) return;
    const std::string bytes = Utf8ToCp1251(line) + "\r\n";
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

bool RunProtocol::GlobalStop() {
    mUi.YieldOnce();
    return mState.mStopRequested;
}

} // namespace k5
