#pragma once
// The protocol pane model: plain text, a selection by start and length in characters,
// and replacing the selection by text with a colour and a weight. The window mirrors
// it; the rich-text log is this model saved.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace k5 {

// 24-bit RGB with red in the low byte.
inline constexpr uint32_t kColourBlack = 0;
inline constexpr uint32_t kColourDarkRed = 192;
inline constexpr uint32_t kColourGreen = 32768;
inline constexpr uint32_t kColourRed = 255;
inline constexpr uint32_t kColourMagenta = 16711935;

class RichPane {
public:
    struct Run {
        std::u16string text;
        uint32_t colour = kColourBlack;
        bool bold = false;
    };

    // Called after every change: start and length (characters) of the replaced range,
    // the new text (UTF-8), its colour and weight.
    using Listener = std::function<void(int64_t start, int64_t length, const std::string& text,
                                        uint32_t colour, bool bold)>;

    std::string Text() const; // UTF-8
    int64_t Length() const;   // characters (UTF-16 units)
    void SetSelection(int64_t start, int64_t length);
    std::string SelectedText() const;
    // Replaces the selection; the selection becomes empty after the inserted text.
    void ReplaceSelection(const std::string& text, uint32_t colour, bool bold);
    void Clear();
    const std::vector<Run>& Runs() const { return mRuns; }
    // The whole content as RTF (Windows-1251 code page with \uN escapes for safety).
    std::string ToRtf() const;
    // Writes ToRtf() to a file; a failure is raised.
    void SaveRtf(const std::string& path) const;
    void AddListener(Listener l) { mListeners.push_back(std::move(l)); }

private:
    std::vector<Run> mRuns;
    int64_t mSelStart = 0;
    int64_t mSelLength = 0;
    std::vector<Listener> mListeners;
};

} // namespace k5
