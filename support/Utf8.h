#pragma once
// The program's one reading of UTF-8 text. Header-only: the text-order extension for the
// sqlite3 shell is built from the same lines as the engine.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace k5::utf8 {

// Length of the well-formed sequence at s (no overlong forms, no surrogates, nothing above
// U+10FFFF), or 0 when the bytes there are no such sequence.
inline size_t SequenceAt(const unsigned char* s, size_t left) {
    if (left == 0) return 0;
    const unsigned char c = s[0];
    if (c < 0x80) return 1;
    size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (n > left || s[1] < low || s[1] > high) return 0;
    for (size_t k = 2; k < n; ++k)
        if ((s[k] & 0xC0) != 0x80) return 0;
    return n;
}

inline bool IsValid(const char* s, size_t n) {
    auto p = reinterpret_cast<const unsigned char*>(s);
    const auto e = p + n;
    while (p < e) {
        if (*p < 0x80) {
            ++p;
            // Runs of ASCII go eight bytes at a time.
            while (e - p >= 8) {
                uint64_t w;
                std::memcpy(&w, p, 8);
                if (w & 0x8080808080808080ULL) break;
                p += 8;
            }
            continue;
        }
        const size_t k = SequenceAt(p, static_cast<size_t>(e - p));
        if (k == 0) return false;
        p += k;
    }
    return true;
}

// Decodes one code point, leniently: bytes that start no sequence come back as themselves
// (0xDC00 + byte), so that any bytes have an order and survive a round trip through Append.
// The text order of stored indexes depends on this exact reading.
inline uint32_t Next(const unsigned char*& p, const unsigned char* end) {
    const unsigned char c = *p++;
    if (c < 0x80) return c;
    const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra < 0 || end - p < extra) return 0xDC00 + c;
    uint32_t cp = c & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0xDC00 + c;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    p += extra;
    return cp;
}

// The inverse of Next: a lone byte given back by Next is written as that byte again.
inline void Append(std::string& out, uint32_t cp) {
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
        out += static_cast<char>(cp - 0xDC00);
    } else if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Characters (every byte that is not a continuation byte starts one).
inline size_t CodePoints(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Length in UTF-16 units, as the window's text counts it (four-byte sequences are two).
inline size_t Utf16Units(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;
    return n;
}

} // namespace k5::utf8
