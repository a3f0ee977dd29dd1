#pragma once
// Every question to the user, every message box and every yield to the event loop goes
// through this interface, so the maintenance code runs the same under the window, the
// headless front end and the tests. Every call comes from the thread that made the user
// (an event loop and its boxes belong to one thread); implementations check it.
#include "support/Assert.h"

#include <cstdint>
#include <optional>
#include <string>

namespace k5 {

enum class Answer { Yes, No, Cancel };
enum class BoxIcon { None, Question, Warning, Information, Critical };

class UserInteraction {
public:
    virtual ~UserInteraction() = default;

    virtual bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
    virtual Answer AskYesNoCancel(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
    // Modal box with one OK button. The pointer is the normal arrow while it shows.
    virtual void ShowMessage(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
    // Input prompt; nothing when the user cancels.
    virtual std::optional<std::string> InputBox(const std::string& prompt, const std::string& title,
                                                const std::string& defaultText) = 0;
    // Lets pending clicks and repaints run once.
    virtual void YieldOnce() = 0;
    // How far the step under way is; total 0 when unknown. Also yields.
    virtual void Progress(const std::string& step, int64_t done, int64_t total) = 0;
    // Starts a program with a normal, focused window; false when it could not be started.
    virtual bool StartProgram(const std::string& program, const std::string& argument) = 0;
    // Shows a folder, or a file selected in its folder, in the desktop's file manager.
    virtual bool ShowInFileManager(const std::string& path, bool selectFile) = 0;

protected:
    // True on the thread that made this user.
    bool OnOwnerThread() const { return mOwner.IsCurrent(); }

private:
    OwnerThread mOwner;
};

} // namespace k5
