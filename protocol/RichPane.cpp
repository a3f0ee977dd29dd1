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

void RichPane::Append(const std::string& text, uint32_t colour, bool bold) {
    if (text.empty()) return;
    if (!mRuns.empty() && mRuns.back().colour == colour && mRuns.back().bold == bold)
        mRuns.back().text += ToU16(text);
    else
        mRuns.push_back(Run{ToU16(text), colour, bold});
}

void RichPane::DropTail(int64_t characters) {
    while (characters > 0 && !mRuns.empty()) {
        std::u16string& last = mRuns.back().text;
        const int64_t cut = std::min<int64_t>(characters, static_cast<int64_t>(last.size()));
        last.resize(last.size() - static_cast<size_t>(cut));
        characters -= cut;
        if (last.empty()) mRuns.pop_back();
    }
}

void RichPane::EntryWritten(const ProtocolLine& line) {
    Append(line.stamp, kColourBlack, false);
    Append(line.text + "\r\n", line.colour, line.bold);
}

void RichPane::StepBegun(const ProtocolLine& line) {
    Append(line.stamp, kColourBlack, false);
    Append(line.text + kStepMarker, line.colour, line.bold);
}

void RichPane::StepClosed(const ProtocolLine& line, bool inPlace) {
    if (inPlace) DropTail(kStepMarkerLength);
    Append(line.text + "\r\n", line.colour, line.bold);
}

void RichPane::Cleared() {
    mRuns.clear();
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
