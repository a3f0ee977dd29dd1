#pragma once
// What the protocol tells its readers (the pane model and the RTF log, the text log, the
// window's pane, the headless printer): typed events, so that no reader parses the text.
#include <cstdint>
#include <ctime>
#include <string>

namespace k5 {

// Shown after a begun step's text until the step is closed.
inline constexpr const char* kStepMarker = " ...";
inline constexpr int64_t kStepMarkerLength = 4;

// "2021.03.15 09:05:07: ", the stamp in front of an entry and of a begun step.
std::string FormatStamp(const std::tm& localTime);

// One piece of the protocol: its text (control characters already shown escaped, CR LF
// pairs kept as line breaks) and its look.
struct ProtocolLine {
    std::string stamp; // empty for the closing half of a step
    std::string text;
    uint32_t colour = 0;
    bool bold = false;
    bool success = true; // what the entry reports; a failure spoils the run's verdict
};

// Every reader sees every event in the order the protocol publishes them.
class ProtocolListener {
public:
    virtual ~ProtocolListener() = default;
    // LogAdd: stamp, text and a line break.
    virtual void EntryWritten(const ProtocolLine& line) = 0;
    // LogAddBegin: stamp and text; the line stays open and shows kStepMarker after the text.
    virtual void StepBegun(const ProtocolLine& line) = 0;
    // LogAddEnd: the text and a line break. `inPlace`: the text takes the place of the open
    // step's marker; otherwise it follows whatever the protocol ends with, and a step left
    // open keeps its marker.
    virtual void StepClosed(const ProtocolLine& line, bool inPlace) = 0;
    // The pane was emptied (the text log keeps what it has).
    virtual void Cleared() = 0;
};

} // namespace k5
