#pragma once
// The headless front end's protocol: what the pane receives, written to standard output as
// it arrives. A step under way shows its opening half; its closing half completes the same
// line (a line that stays open gets its marker, as the pane keeps it). CR LF becomes LF;
// on a terminal the colours and weights become ANSI codes.
#include "protocol/ProtocolEvents.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace k5 {

class HeadlessInteraction;

class ProtocolPrinter : public ProtocolListener {
public:
    // `ui` (may be null) draws its progress after the unfinished line on a terminal.
    ProtocolPrinter(std::FILE* out, bool terminal, HeadlessInteraction* ui);

    void EntryWritten(const ProtocolLine& line) override;
    void StepBegun(const ProtocolLine& line) override;
    void StepClosed(const ProtocolLine& line, bool inPlace) override;
    void Cleared() override;

    // A line left open (a failure in the middle of a step) ends with its marker, as the
    // pane shows it.
    void Finish();

private:
    void ClearProgress();
    // Text after a pending marker leaves the marker in the protocol for good.
    void LeavePending();
    void EndPendingLine();
    void Emit(const std::string& text, uint32_t colour, bool bold);

    std::FILE* mOut;
    bool mTerminal;
    HeadlessInteraction* mUi;
    bool mPending = false;
    uint32_t mPendingColour = 0;
    bool mPendingBold = false;
    std::string mScreenLine; // what the terminal shows of the unfinished line
};

} // namespace k5
