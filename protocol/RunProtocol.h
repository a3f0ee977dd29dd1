#pragma once
// The protocol operations of the main window: LogAdd, LogAddBegin, LogAddEnd and the
// text log writer, plus the stop poll.
#include "protocol/RichPane.h"
#include "protocol/RunState.h"
#include "support/Env.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace k5 {

class UserInteraction;

// Control characters of a message are shown escaped (CR LF pairs stay line breaks), so that
// no inserted value can forge a line of its own.
class RunProtocol {
public:
    // The time stamps come from env's clock; env hears of every finished entry.
    RunProtocol(RunState& state, UserInteraction& ui, Env& env = Env::Default());

    void LogAdd(const std::string& message, bool success, std::optional<uint32_t> colour = std::nullopt,
                std::optional<bool> bold = std::nullopt);
    void LogAddBegin(const std::string& message, bool success, std::optional<uint32_t> colour = std::nullopt,
                     std::optional<bool> bold = std::nullopt);
    void LogAddEnd(const std::string& message, bool success, std::optional<uint32_t> colour = std::nullopt,
                   std::optional<bool> bold = std::nullopt);
    // Appends one line (CR LF) in Windows-1251 to mLogFileTxt; failures are silent.
    void WriteIntoLogFile(const std::string& line);

    // Yields once, then tells whether the user asked to stop.
    bool GlobalStop();

    RichPane& Pane() { return mPane; }
    RunState& State() { return mState; }
    UserInteraction& Ui() { return mUi; }

private:
    void Finish(bool success);

    RunState& mState;
    UserInteraction& mUi;
    Env& mEnv;
    RichPane mPane;
    int64_t mEntries = 0;
};

} // namespace k5
