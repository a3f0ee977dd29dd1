#include "app/WindowUtil.h"

#include "support/Error.h"

#include <QStyleOptionButton>
#include <QStylePainter>

#include <algorithm>
#include <exception>

namespace k5 {

std::string EventFailureText(int32_t number, const std::string& description) {
    return "Ошибка " + std::to_string(number) + "\r\n\r\n" + description;
}

bool RunWindowEvent(UserInteraction& ui, const std::string& caption, const std::function<void()>& work) {
    int32_t number = 0;
    std::string description;
    try {
        work();
        return true;
    } catch (const K5Error& e) {
        number = e.Number();
        description = e.Description();
        if (!e.Source().empty()) description = "[" + e.Source() + "]\r\n" + description;
    } catch (const std::exception& e) {
        description = e.what();
    } catch (...) {
        description = "?";
    }
    try {
        ui.ShowMessage(EventFailureText(number, description), caption, BoxIcon::Critical);
    } catch (...) {
        // Nothing is left to tell it to.
    }
    return false;
}

void ElidingCheckBox::SetCaptionLimit(int pixels) {
    mLimit = pixels;
    QStyleOptionButton option;
    initStyleOption(&option);
    const int textLeft = style()->subElementRect(QStyle::SE_CheckBoxContents, &option, this).left();
    const bool elided = mLimit >= 0 && fontMetrics().horizontalAdvance(text()) > mLimit - textLeft;
    setToolTip(elided ? text() : QString());
    update();
}

void ElidingCheckBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    if (mLimit >= 0) {
        const int textLeft = style()->subElementRect(QStyle::SE_CheckBoxContents, &option, this).left();
        option.text = fontMetrics().elidedText(text(), Qt::ElideRight, std::max(0, mLimit - textLeft));
    }
    painter.drawControl(QStyle::CE_CheckBox, option);
}

} // namespace k5
