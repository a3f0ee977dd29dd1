#include "app/PaneMirror.h"

#include "app/WindowUtil.h"
#include "protocol/RichPane.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>

#include <algorithm>

namespace k5 {

void PaneMirror::Append(const std::string& text, uint32_t colour, bool bold) {
    if (text.empty()) return;
    QTextCursor cursor(mPane.document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(RgbToQColor(colour));
    format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    cursor.insertText(QString::fromStdString(text), format);
}

void PaneMirror::ShowNewest() {
    QScrollBar* bar = mPane.verticalScrollBar();
    bar->setValue(bar->maximum());
}

void PaneMirror::EntryWritten(const ProtocolLine& line) {
    Append(line.stamp, kColourBlack, false);
    Append(line.text + "\r\n", line.colour, line.bold);
    ShowNewest();
}

void PaneMirror::StepBegun(const ProtocolLine& line) {
    Append(line.stamp, kColourBlack, false);
    Append(line.text + kStepMarker, line.colour, line.bold);
    if (onStepBegun) onStepBegun(line.text.substr(line.text.rfind('\n') + 1));
    ShowNewest();
}

void PaneMirror::StepClosed(const ProtocolLine& line, bool inPlace) {
    if (inPlace) { // the marker holds no line break: it is the document's last characters
        QTextCursor cursor(mPane.document());
        const int end = mPane.document()->characterCount() - 1;
        cursor.setPosition(std::max(0, end - static_cast<int>(kStepMarkerLength)));
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    Append(line.text + "\r\n", line.colour, line.bold);
    ShowNewest();
}

void PaneMirror::Cleared() {
    QTextCursor cursor(mPane.document());
    cursor.select(QTextCursor::Document);
    cursor.removeSelectedText();
    ShowNewest();
}

} // namespace k5
