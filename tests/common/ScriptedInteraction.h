#pragma once
// A user who answers from a queue and whose every call is recorded: for tests and
// benchmarks (answers fall back to a fixed default).
#include "support/UserInteraction.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace k5 {

class ScriptedInteraction : public UserInteraction {
public:
    struct Call {
        std::string kind; // "YesNo", "YesNoCancel", "Message", "Input", "Start", "Show"
        std::string text;
        std::string caption;
        BoxIcon icon = BoxIcon::None;
    };

    // Answers are consumed in order; when the queue is empty, the default answer is given.
    void QueueAnswer(Answer a) { mAnswers.push_back(a); }
    void QueueInput(std::optional<std::string> text) { mInputs.push_back(std::move(text)); }
    Answer defaultAnswer = Answer::No;
    bool startProgramResult = true;
    bool showInFileManagerResult = true;
    // Runs at every yield (a test can press "Отмена" from here).
    std::function<void()> onYield;

    bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) override;
    Answer AskYesNoCancel(const std::string& text, const std::string& caption, BoxIcon icon) override;
    void ShowMessage(const std::string& text, const std::string& caption, BoxIcon icon) override;
    std::optional<std::string> InputBox(const std::string& prompt, const std::string& title,
                                        const std::string& defaultText) override;
    void YieldOnce() override;
    void Progress(const std::string& step, int64_t done, int64_t total) override;
    bool StartProgram(const std::string& program, const std::string& argument) override;
    bool ShowInFileManager(const std::string& path, bool selectFile) override;

    std::vector<Call> calls;
    int64_t yields = 0;
    int64_t progressCalls = 0;
    // Yields from another thread than the one that made this user: an event loop cannot
    // be served from there, so any such yield is a fault (one that aborts where the
    // invariant checks are compiled in).
    int64_t yieldsOffThread = 0;

private:
    Answer NextAnswer();
    std::deque<Answer> mAnswers;
    std::deque<std::optional<std::string>> mInputs;
};

} // namespace k5
