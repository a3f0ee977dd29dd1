#include "common/ScriptedInteraction.h"

namespace k5 {

Answer ScriptedInteraction::NextAnswer() {
    if (mAnswers.empty()) return defaultAnswer;
    Answer a = mAnswers.front();
    mAnswers.pop_front();
    return a;
}

bool ScriptedInteraction::AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) {
    K5_ASSERT(OnOwnerThread());
    calls.push_back({"YesNo", text, caption, icon});
    return NextAnswer() == Answer::Yes;
}

Answer ScriptedInteraction::AskYesNoCancel(const std::string& text, const std::string& caption,
                                           BoxIcon icon) {
    K5_ASSERT(OnOwnerThread());
    calls.push_back({"YesNoCancel", text, caption, icon});
    return NextAnswer();
}

void ScriptedInteraction::ShowMessage(const std::string& text, const std::string& caption, BoxIcon icon) {
    K5_ASSERT(OnOwnerThread());
    calls.push_back({"Message", text, caption, icon});
}

std::optional<std::string> ScriptedInteraction::InputBox(const std::string& prompt, const std::string& title,
                                                         const std::string& defaultText) {
    K5_ASSERT(OnOwnerThread());
    calls.push_back({"Input", prompt, title, BoxIcon::None});
    if (mInputs.empty()) return std::nullopt;
    auto v = mInputs.front();
    mInputs.pop_front();
    return v;
}

void ScriptedInteraction::YieldOnce() {
    ++yields;
    if (!OnOwnerThread()) ++yieldsOffThread;
    K5_ASSERT(OnOwnerThread());
    if (onYield) onYield();
}

void ScriptedInteraction::Progress(const std::string&, int64_t, int64_t) {
    K5_ASSERT(OnOwnerThread());
    ++progressCalls;
    YieldOnce();
}

bool ScriptedInteraction::StartProgram(const std::string& program, const std::string& argument) {
    K5_ASSERT(OnOwnerThread());
    calls.push_back({"Start", program, argument, BoxIcon::None});
    return startProgramResult;
}

bool ScriptedInteraction::ShowInFileManager(const std::string& path, bool selectFile) {
    K5_ASSERT(OnOwnerThread());
    calls.push_back({"Show", path, selectFile ? "select" : "folder", BoxIcon::None});
    return showInFileManagerResult;
}

} // namespace k5
