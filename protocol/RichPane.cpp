#include "protocol/RichPane.h"

#include "support/Codepage.h"
#include "support/Error.h"

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace k5 {

namespace {
std::u16string ToU16(const std::string& s) {
    return QString::fromStdString(s).toStdU16String();
}
std::string ToU8(const std::u16string& s) {
    return QString::fromStdU16String(s).toStdString();
}

// The Windows-1251 byte of a character, 0 when the code page has none.
unsigned char Cp1251Byte(char16_t ch) {
    static const std::map<char16_t, unsigned char> table = [] {
        std::map<char16_t, unsigned char> t;
        for (int b = 0x80; b <= 0xFF; ++b) {
            std::u16string u = ToU16(Cp1251ToUtf8(std::string(1, static_cast<char>(b))));
            if (u.size() == 1 && u[0] != u'?') t[u[0]] = static_cast<unsigned char>(b);
        }
        return t;
    }();
    auto it = table.find(ch);
    return it == table.end() ? 0 : it->second;
}
} // namespace

std::string RichPane::Text() const {
    std::u16string all;
    for (const Run& r : mRuns)
        all += r.text;
    return ToU8(all);
}

int64_t RichPane::Length() const {
    int64_t n = 0;
    for (const Run& r : mRuns)
        n += static_cast<int64_t>(r.text.size());
    return n;
}

void RichPane::SetSelection(int64_t start, int64_t length) {
    const int64_t len = Length();
    mSelStart = std::clamp<int64_t>(start, 0, len);
    mSelLength = std::clamp<int64_t>(length, 0, len - mSelStart);
}

std::string RichPane::SelectedText() const {
    std::u16string out;
    int64_t pos = 0;
    const int64_t from = mSelStart, to = mSelStart + mSelLength;
    for (const Run& r : mRuns) {
        const int64_t rs = pos, re = pos + static_cast<int64_t>(r.text.size());
        const int64_t a = std::max(rs, from), b = std::min(re, to);
        if (a < b) out += r.text.substr(a - rs, b - a);
        pos = re;
    }
    return ToU8(out);
}

void RichPane::ReplaceSelection(const std::string& text, uint32_t colour, bool bold) {
    const int64_t from = mSelStart, to = mSelStart + mSelLength;
    std::vector<Run> out;
    out.reserve(mRuns.size() + 2);
    int64_t pos = 0;
    bool inserted = false;
    const std::u16string add = ToU16(text);
    auto insertNew = [&] {
        if (!add.empty()) out.push_back(Run{add, colour, bold});
        inserted = true;
    };
    for (Run& r : mRuns) {
        const int64_t rs = pos, re = pos + static_cast<int64_t>(r.text.size());
        pos = re;
        if (re <= from) { // wholly before
            out.push_back(std::move(r));
            continue;
        }
        if (rs < from) out.push_back(Run{r.text.substr(0, from - rs), r.colour, r.bold});
        if (!inserted) insertNew();
        if (re > to) {
            const int64_t keepFrom = std::max(rs, to);
            out.push_back(Run{r.text.substr(keepFrom - rs), r.colour, r.bold});
        }
    }
    if (!inserted) insertNew();
    // Merge neighbours of the same look so a long protocol stays a short list of runs.
    std::vector<Run> merged;
    merged.reserve(out.size());
    for (Run& r : out) {
        if (r.text.empty()) continue;
        if (!merged.empty() && merged.back().colour == r.colour && merged.back().bold == r.bold)
            merged.back().text += r.text;
        else
            merged.push_back(std::move(r));
    }
    mRuns = std::move(merged);
    const int64_t replacedLength = mSelLength;
    mSelStart = from + static_cast<int64_t>(add.size());
    mSelLength = 0;
    for (const Listener& l : mListeners)
        l(from, replacedLength, text, colour, bold);
}

void RichPane::Clear() {
    const int64_t len = Length();
    mRuns.clear();
    mSelStart = mSelLength = 0;
    for (const Listener& l : mListeners)
        l(0, len, std::string(), kColourBlack, false);
}

std::string RichPane::ToRtf() const {
    // Colour table: index 0 is the automatic colour; each colour used gets its own entry.
    std::map<uint32_t, int> colourIndex;
    std::vector<uint32_t> colours;
    for (const Run& r : mRuns)
        if (!colourIndex.count(r.colour)) {
            colourIndex[r.colour] = static_cast<int>(colours.size()) + 1;
            colours.push_back(r.colour);
        }
    std::string out = "{\\rtf1\\ansi\\ansicpg1251\\deff0\\deflang1049"
                      "{\\fonttbl{\\f0\\fnil\\fcharset204 Courier New;}}\r\n{\\colortbl ;";
    for (uint32_t c : colours) {
        out += "\\red" + std::to_string(c & 0xFF) + "\\green" + std::to_string((c >> 8) & 0xFF) + "\\blue" +
               std::to_string((c >> 16) & 0xFF) + ";";
    }
    out += "}\r\n\\viewkind4\\uc1\\pard\\f0\\fs20 ";
    for (const Run& r : mRuns) {
        out += "\\cf" + std::to_string(colourIndex[r.colour]) + (r.bold ? "\\b " : "\\b0 ");
        for (size_t i = 0; i < r.text.size(); ++i) {
            const char16_t ch = r.text[i];
            if (ch == u'\r') {
                if (i + 1 < r.text.size() && r.text[i + 1] == u'\n') ++i;
                out += "\\par\r\n";
            } else if (ch == u'\n') {
                out += "\\par\r\n";
            } else if (ch == u'\\' || ch == u'{' || ch == u'}') {
                out += '\\';
                out += static_cast<char>(ch);
            } else if (ch < 0x80) {
                out += static_cast<char>(ch);
            } else {
                // Cyrillic goes as a Windows-1251 byte; anything else as a Unicode escape.
                if (unsigned char byte = Cp1251Byte(ch)) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\'%02x", byte);
                    out += hex;
                } else {
                    out += "\\u" + std::to_string(static_cast<int16_t>(ch)) + "?";
                }
            }
        }
    }
    out += "}\r\n";
    return out;
}

void RichPane::SaveRtf(const std::string& path) const {
    try {
        const std::string rtf = ToRtf();
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) RaiseError(errno == ENOENT ? 76 : 75, "Ошибка доступа к пути/файлу: \"" + path + "\"");
        const bool ok = std::fwrite(rtf.data(), 1, rtf.size(), f) == rtf.size();
        const bool closed = std::fclose(f) == 0;
        if (!ok || !closed) RaiseError(61, "Диск заполнен: \"" + path + "\"");
    }
    K5_TRAP("ProphylaxisFrm", "SaveRtf")
}

} // namespace k5
