#pragma once
// The protocol operations of the main window: LogAdd, LogAddBegin, LogAddEnd and the
// text log writer, plus the stop poll. Each operation publishes a typed event to the pane
// model, the text log and the listeners (the window's pane, the headless printer).
#include "protocol/ProtocolEvents.h"
#include "protocol/RichPane.h"
#include "protocol/RunState.h"
#include "support/Assert.h"
#include "support/Env.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace k5 {

class UserInteraction;

// Control characters of a message are shown escaped (CR LF pairs stay line breaks), so that
// no inserted value can forge a line of its own. Every entry point runs on the thread that
// made the protocol (the user's).
class RunProtocol {
public:
    // The time stamps come from env's clock; env hears of every finished entry.
    RunProtocol(RunState& state, UserInteraction& ui, Env& env = Env::Default());
    ~RunProtocol();

    void LogAdd(const std::string& message, bool success, std::optional<uint32_t> colour = std::nullopt,
                std::optional<bool> bold = std::nullopt);
    void LogAddBegin(const std::string& message, bool success, std::optional<uint32_t> colour = std::nullopt,
                     std::optional<bool> bold = std::nullopt);
    void LogAddEnd(const std::string& message, bool success, std::optional<uint32_t> colour = std::nullopt,
                   std::optional<bool> bold = std::nullopt);
    // Empties the pane; the text log keeps its lines.
    void ClearPane();
    // Ends the line of a step left open by a failure in its middle; its marker stays.
    void EndOpenStep();
    // Appends one line (CR LF) in Windows-1251 to mLogFileTxt; failures are silent.
    void WriteIntoLogFile(const std::string& line);
    // Hears every event after the pane model, before the text log; not owned.
    void AddListener(ProtocolListener& listener);

    // Yields once, then tells whether the user asked to stop.
    bool GlobalStop();

    const RichPane& Pane() const { return mPane; }
    RunState& State() { return mState; }
    UserInteraction& Ui() { return mUi; }

private:
    class TextLog;

    std::string Stamp() const;
    ProtocolLine Line(std::string stamp, const std::string& text, bool success,
                      std::optional<uint32_t> colour, std::optional<bool> bold) const;
    void Publish(const std::function<void(ProtocolListener&)>& event);
    void Finish(bool success);

    RunState& mState;
    UserInteraction& mUi;
    Env& mEnv;
    RichPane mPane;
    std::unique_ptr<TextLog> mTextLog;
    std::vector<ProtocolListener*> mListeners;
    bool mStepOpen = false;
    int64_t mEntries = 0;
    OwnerThread mOwner;
};

} // namespace k5
