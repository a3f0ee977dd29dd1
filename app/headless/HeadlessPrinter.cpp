#include "app/headless/HeadlessPrinter.h"

#include "app/headless/HeadlessInteraction.h"
#include "protocol/RichPane.h"

namespace k5 {

namespace {

std::string AnsiCode(uint32_t colour, bool bold) {
    std::string code = bold ? "\033[1m" : "";
    switch (colour) {
    case kColourBlack:
        break;
    case kColourDarkRed:
        code += "\033[31m";
        break;
    case kColourRed:
        code += "\033[91m";
        break;
    case kColourGreen:
        code += "\033[32m";
        break;
    case kColourMagenta:
        code += "\033[35m";
        break;
    default: // red in the low byte
        code += "\033[38;2;" + std::to_string(colour & 0xFF) + ";" + std::to_string((colour >> 8) & 0xFF) +
                ";" + std::to_string((colour >> 16) & 0xFF) + "m";
    }
    return code;
}

} // namespace

ProtocolPrinter::ProtocolPrinter(std::FILE* out, bool terminal, HeadlessInteraction* ui)
    : mOut(out), mTerminal(terminal), mUi(ui) {
    if (mTerminal && mUi) mUi->ShareTerminalLine(&mScreenLine);
}

void ProtocolPrinter::ClearProgress() {
    if (mUi) mUi->ClearProgress();
}

void ProtocolPrinter::EntryWritten(const ProtocolLine& line) {
    ClearProgress();
    LeavePending();
    Emit(line.stamp, kColourBlack, false);
    Emit(line.text + "\r\n", line.colour, line.bold);
    std::fflush(mOut);
}

void ProtocolPrinter::StepBegun(const ProtocolLine& line) {
    ClearProgress();
    LeavePending();
    Emit(line.stamp, kColourBlack, false);
    Emit(line.text, line.colour, line.bold);
    mPending = true;
    mPendingColour = line.colour;
    mPendingBold = line.bold;
    std::fflush(mOut);
}

void ProtocolPrinter::StepClosed(const ProtocolLine& line, bool inPlace) {
    ClearProgress();
    if (inPlace)
        mPending = false;
    else
        LeavePending();
    Emit(line.text + "\r\n", line.colour, line.bold);
    std::fflush(mOut);
}

void ProtocolPrinter::Cleared() {
    ClearProgress();
    EndPendingLine();
    std::fflush(mOut);
}

void ProtocolPrinter::Finish() {
    ClearProgress();
    EndPendingLine();
    if (!mScreenLine.empty()) Emit("\n", 0, false);
    std::fflush(mOut);
}

void ProtocolPrinter::LeavePending() {
    if (!mPending) return;
    mPending = false;
    Emit(kStepMarker, mPendingColour, mPendingBold);
}

void ProtocolPrinter::EndPendingLine() {
    if (!mPending) return;
    LeavePending();
    Emit("\n", 0, false);
}

// CR LF becomes LF; colours never span a line break.
void ProtocolPrinter::Emit(const std::string& text, uint32_t colour, bool bold) {
    const std::string code = mTerminal ? AnsiCode(colour, bold) : std::string();
    std::string piece;
    auto flushPiece = [&] {
        if (piece.empty()) return;
        const std::string rendered = code.empty() ? piece : code + piece + "\033[0m";
        std::fputs(rendered.c_str(), mOut);
        mScreenLine += rendered;
        piece.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n') {
            flushPiece();
            std::fputs("\n", mOut);
            mScreenLine.clear();
            continue;
        }
        piece += c;
    }
    flushPiece();
}

} // namespace k5
