#include "protocol/RunState.h"

#include "support/Error.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace k5 {

std::string RunStampAt(int year, int month, int day, int hour, int minute, int second) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04dг%02dм%02dд%02dч%02dм%02dс", year, month, day, hour, minute, second);
    return buf;
}

std::string RunStamp(std::time_t now) {
    std::tm t{};
    localtime_r(&now, &t);
    return RunStampAt(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

std::string ThisFotmat3(int32_t count) {
    const bool negative = count < 0;
    std::string digits =
        std::to_string(negative ? -static_cast<int64_t>(count) : static_cast<int64_t>(count));
    std::string out;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += ' ';
        out += digits[i];
    }
    return negative ? "-" + out : out;
}

int32_t NormalizeLimit(const std::string& text) {
    // Blanks around the number are ignored; a fraction is rounded; anything unreadable or
    // outside the signed 32-bit range gives 0.
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return 0;
    size_t e = text.find_last_not_of(" \t\r\n");
    std::string t = text.substr(b, e - b + 1);
    for (char& c : t)
        if (c == ',') c = '.';
    // from_chars never consults the locale: strtod would follow LC_NUMERIC, which the
    // window's application object sets from the environment (a comma under ru_RU).
    const char* s = t.c_str() + (t.front() == '+' && t.size() > 1 && t[1] != '-' ? 1 : 0);
    double v = 0;
    const auto [end, ec] = std::from_chars(s, t.c_str() + t.size(), v, std::chars_format::general);
    if (ec != std::errc() || end != t.c_str() + t.size() || !std::isfinite(v)) return 0;
    // Reject what the parser reads but a decimal field does not hold (inf, nan).
    for (char c : t)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == 'e' ||
              c == 'E'))
            return 0;
    v = std::nearbyint(v); // halves to even, as the runtime rounds
    if (v < static_cast<double>(INT32_MIN) || v > static_cast<double>(INT32_MAX)) return 0;
    int32_t n = static_cast<int32_t>(v);
    return n > 0 ? n : 0;
}

} // namespace k5
