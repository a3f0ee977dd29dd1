#pragma once
// The window's user: Qt message boxes and input boxes with Russian buttons, event-loop
// yields, the progress indicator, starting programs and the desktop's file manager.
#include "support/UserInteraction.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class QWidget;

namespace k5 {

class QtInteraction : public UserInteraction {
public:
    // Boxes are owned by `parent` (may be null).
    explicit QtInteraction(QWidget* parent = nullptr);

    bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) override;
    Answer AskYesNoCancel(const std::string& text, const std::string& caption, BoxIcon icon) override;
    void ShowMessage(const std::string& text, const std::string& caption, BoxIcon icon) override;
    std::optional<std::string> InputBox(const std::string& prompt, const std::string& title,
                                        const std::string& defaultText) override;
    void YieldOnce() override;
    void Progress(const std::string& step, int64_t done, int64_t total) override;
    bool StartProgram(const std::string& program, const std::string& argument) override;
    bool ShowInFileManager(const std::string& path, bool selectFile) override;

    // Where the progress goes (the window's indicator); called at most every ~30 ms, and
    // always when the step text changes or the step is complete. An empty step keeps the
    // text shown.
    std::function<void(const std::string& step, int64_t done, int64_t total)> progressSink;

    // The longest wall-clock time between two event-loop passes since the last reset.
    std::chrono::microseconds LongestGap() const { return mLongestGap; }
    // What the window showed when the longest gap ended (see describePoint).
    const std::string& LongestGapPlace() const { return mLongestGapPlace; }
    // How many gaps were longer than a tenth of a second.
    int64_t GapsOver100ms() const { return mGapsOver100ms; }
    // The first of those gaps (at most 500) with where each ended.
    const std::vector<std::pair<std::chrono::microseconds, std::string>>& LongGaps() const {
        return mLongGaps;
    }
    void ResetGapMeasure();
    // Describes where the work stands, for the gap measure (the window's last protocol line).
    std::function<std::string()> describePoint;

private:
    void Pump();

    QWidget* mParent;
    std::chrono::steady_clock::time_point mLastPump;
    std::chrono::microseconds mLongestGap{0};
    std::string mLongestGapPlace;
    int64_t mGapsOver100ms = 0;
    std::vector<std::pair<std::chrono::microseconds, std::string>> mLongGaps;
    std::chrono::steady_clock::time_point mLastProgressShown;
    std::string mLastStep;
};

} // namespace k5
