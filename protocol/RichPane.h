#pragma once
// The protocol pane model: the protocol's text in runs of one colour and weight, built
// from the protocol's events. The rich-text log is this model saved.
#include "protocol/ProtocolEvents.h"

#include <cstdint>
#include <string>
#include <vector>

namespace k5 {

// 24-bit RGB with red in the low byte.
inline constexpr uint32_t kColourBlack = 0;
inline constexpr uint32_t kColourDarkRed = 192;
inline constexpr uint32_t kColourGreen = 32768;
inline constexpr uint32_t kColourRed = 255;
inline constexpr uint32_t kColourMagenta = 16711935;

class RichPane : public ProtocolListener {
public:
    struct Run {
        std::u16string text;
        uint32_t colour = kColourBlack;
        bool bold = false;
    };

    std::string Text() const; // UTF-8
    int64_t Length() const;   // characters (UTF-16 units)
    const std::vector<Run>& Runs() const { return mRuns; }
    // The whole content as RTF (Windows-1251 code page with \uN escapes for safety).
    std::string ToRtf() const;
    // Writes ToRtf() to a file; a failure is raised.
    void SaveRtf(const std::string& path) const;

    void EntryWritten(const ProtocolLine& line) override;
    void StepBegun(const ProtocolLine& line) override;
    void StepClosed(const ProtocolLine& line, bool inPlace) override;
    void Cleared() override;

private:
    // Neighbours of the same look share one run, so a long protocol stays a short list.
    void Append(const std::string& text, uint32_t colour, bool bold);
    void DropTail(int64_t characters);

    std::vector<Run> mRuns;
};

} // namespace k5
