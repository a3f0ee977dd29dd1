#pragma once
// The headless front end's user: nobody is at the screen. Every question gets the answer the
// defaults imply, boxes go to standard error, the yields run Qt's events and see Ctrl+C as a
// confirmed "Отмена", and a long step's progress is drawn on standard error's terminal.
#include "protocol/RunState.h"
#include "support/UserInteraction.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace k5 {

// From then on, a Ctrl+C asks the run to stop at its next yield; a second one ends the program.
void CatchInterrupts();

class HeadlessInteraction : public UserInteraction {
public:
    explicit HeadlessInteraction(RunState& state);

    bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon) override;
    Answer AskYesNoCancel(const std::string& text, const std::string& caption, BoxIcon) override;
    void ShowMessage(const std::string& text, const std::string& caption, BoxIcon) override;
    std::optional<std::string> InputBox(const std::string& prompt, const std::string& title,
                                        const std::string&) override;
    void YieldOnce() override;
    void Progress(const std::string& step, int64_t done, int64_t total) override;
    bool StartProgram(const std::string& program, const std::string&) override;
    bool ShowInFileManager(const std::string&, bool) override;

    // When the protocol goes to the same terminal, the progress is drawn after the
    // protocol's unfinished line, and wiping it redraws that line.
    void ShareTerminalLine(const std::string* line) { mScreenLine = line; }
    void ClearProgress();

private:
    void Note(const std::string& caption, const std::string& text);

    RunState& mState;
    bool mProgressTty;
    bool mProgressShown = false;
    const std::string* mScreenLine = nullptr;
    std::string mLastStep;
    std::chrono::steady_clock::time_point mLastProgress{};
    std::chrono::steady_clock::time_point mLastPump{};
};

} // namespace k5
