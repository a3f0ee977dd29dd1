#include "protocol/RunProtocol.h"

#include "support/Codepage.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/UserInteraction.h"

#include <cstdio>
#include <ctime>

namespace k5 {

std::string FormatStamp(const std::tm& t) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d.%02d.%02d %02d:%02d:%02d: ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

// The text log holds an entry's message without its stamp, a begun step's stamp and text, and
// a step's closing text on a line of its own (unless empty).
class RunProtocol::TextLog : public ProtocolListener {
public:
    explicit TextLog(RunProtocol& log) : mLog(log) {}
    void EntryWritten(const ProtocolLine& line) override { mLog.WriteIntoLogFile(line.text); }
    void StepBegun(const ProtocolLine& line) override { mLog.WriteIntoLogFile(line.stamp + line.text); }
    void StepClosed(const ProtocolLine& line, bool) override {
        if (!line.text.empty()) mLog.WriteIntoLogFile(line.text);
    }
    void Cleared() override {}

private:
    RunProtocol& mLog;
};

RunProtocol::RunProtocol(RunState& state, UserInteraction& ui, Env& env)
    : mState(state), mUi(ui), mEnv(env), mTextLog(std::make_unique<TextLog>(*this)) {}

RunProtocol::~RunProtocol() = default;

void RunProtocol::AddListener(ProtocolListener& listener) {
    K5_ASSERT(mOwner.IsCurrent());
    mListeners.push_back(&listener);
}

std::string RunProtocol::Stamp() const {
    return FormatStamp(mEnv.ProtocolTime());
}

ProtocolLine RunProtocol::Line(std::string stamp, const std::string& text, bool success,
                               std::optional<uint32_t> colour, std::optional<bool> bold) const {
    const uint32_t look = colour ? *colour : (success ? kColourBlack : kColourDarkRed);
    return ProtocolLine{std::move(stamp), EscapeControls(text, true), look, bold.value_or(false), success};
}

// The pane first, the listeners as they came, the text log last.
void RunProtocol::Publish(const std::function<void(ProtocolListener&)>& event) {
    event(mPane);
    for (ProtocolListener* l : mListeners)
        event(*l);
    event(*mTextLog);
}

void RunProtocol::Finish(bool success) {
    mUi.YieldOnce();
    mState.mProphylaxisOk = mState.mProphylaxisOk && success;
    ++mEntries;
    mEnv.EntryFinished(mEntries);
}

void RunProtocol::LogAdd(const std::string& text, bool success, std::optional<uint32_t> colour,
                         std::optional<bool> bold) {
    K5_ASSERT(mOwner.IsCurrent());
    try {
        const ProtocolLine line = Line(Stamp(), text, success, colour, bold);
        mStepOpen = false;
        Publish([&](ProtocolListener& l) { l.EntryWritten(line); });
        Finish(success);
    }
    K5_TRAP("ProphylaxisFrm", "LogAdd")
}

void RunProtocol::LogAddBegin(const std::string& text, bool success, std::optional<uint32_t> colour,
                              std::optional<bool> bold) {
    K5_ASSERT(mOwner.IsCurrent());
    try {
        const ProtocolLine line = Line(Stamp(), text, success, colour, bold);
        mStepOpen = true;
        Publish([&](ProtocolListener& l) { l.StepBegun(line); });
        Finish(success);
    }
    K5_TRAP("ProphylaxisFrm", "LogAddBegin")
}

void RunProtocol::LogAddEnd(const std::string& text, bool success, std::optional<uint32_t> colour,
                            std::optional<bool> bold) {
    K5_ASSERT(mOwner.IsCurrent());
    try {
        const ProtocolLine line = Line(std::string(), text, success, colour, bold);
        const bool inPlace = mStepOpen;
        mStepOpen = false;
        Publish([&](ProtocolListener& l) { l.StepClosed(line, inPlace); });
        Finish(success);
    }
    K5_TRAP("ProphylaxisFrm", "LogAddEnd")
}

void RunProtocol::ClearPane() {
    K5_ASSERT(mOwner.IsCurrent());
    mStepOpen = false;
    Publish([](ProtocolListener& l) { l.Cleared(); });
}

void RunProtocol::EndOpenStep() {
    K5_ASSERT(mOwner.IsCurrent());
    if (!mStepOpen) return;
    mStepOpen = false;
    const ProtocolLine line{std::string(), std::string(), kColourBlack, false, true};
    Publish([&](ProtocolListener& l) { l.StepClosed(line, false); });
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
    K5_ASSERT(mOwner.IsCurrent());
    mUi.YieldOnce();
    return mState.mStopRequested;
}

} // namespace k5
