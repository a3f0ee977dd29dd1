#include "support/Codepage.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <vector>

namespace k5 {

namespace {

// Length of the well-formed UTF-8 sequence at s (no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0 when the bytes there are no such sequence.
size_t Utf8SequenceAt(const unsigned char* s, size_t left) {
    const unsigned char c = s[0];
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

std::string Convert(const std::string& in, const char* to, const char* from, bool replaceUnknown) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return in;
    std::string out;
    std::vector<char> buf(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    while (srcLeft > 0) {
        char* dst = buf.data();
        size_t dstLeft = buf.size();
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf.data(), dst - buf.data());
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            // A character the target cannot hold, or a broken sequence: replace and skip it.
            if (replaceUnknown) out.push_back('?');
            // A character the target lacks is skipped whole; a byte that starts no
            // well-formed sequence is skipped alone, so the bytes after it still count.
            size_t step = 1;
            if (std::string(from) == "UTF-8")
                step =
                    std::max<size_t>(1, Utf8SequenceAt(reinterpret_cast<const unsigned char*>(src), srcLeft));
            src += step;
            srcLeft -= step;
        }
    }
    iconv_close(cd);
    return out;
}
} // namespace

std::string Utf8ToCp1251(const std::string& text) {
    return Convert(text, "CP1251", "UTF-8", true);
}

std::string Cp1251ToUtf8(const std::string& bytes) {
    return Convert(bytes, "UTF-8", "CP1251", true);
}

} // namespace k5
