#pragma once
// Small pieces shared by the windows.
#include "support/UserInteraction.h"

#include <QCheckBox>
#include <QColor>

#include <cstdint>
#include <functional>
#include <string>

namespace k5 {

// A protocol colour (24-bit RGB, red in the low byte) as a Qt colour.
inline QColor RgbToQColor(uint32_t colour) {
    return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                  static_cast<int>((colour >> 16) & 0xFF));
}

// The text shown for a failure that reached a window event: its number, then the whole
// description with its location lines.
std::string EventFailureText(int32_t number, const std::string& description);

// Runs the work of a window event. A failure has no caller left to pass it to: it is shown
// in a box with `caption` and the function returns false (the work of the event has ended).
// Exceptions never leave into Qt's event loop.
bool RunWindowEvent(UserInteraction& ui, const std::string& caption, const std::function<void()>& work);

// A check box whose caption ends in "…" where a limit set by its owner lies (a neighbour
// starts there): its geometry stays what the layout gives it, and its text never runs
// under the neighbour. The whole caption is then its tooltip.
class ElidingCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;
    // Room for the box and caption, in pixels from the left edge; negative: no limit.
    void SetCaptionLimit(int pixels);
    int CaptionLimit() const { return mLimit; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int mLimit = -1;
};

} // namespace k5
