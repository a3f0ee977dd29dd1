#include "support/Codepage.h"

#include "support/Utf8.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <vector>

namespace k5 {

namespace {

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
                    std::max<size_t>(1, utf8::SequenceAt(reinterpret_cast<const unsigned char*>(src), srcLeft));
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
