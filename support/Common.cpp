#include "support/Common.h"

#include "support/Error.h"
#include "support/UserInteraction.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <type_traits>

namespace k5 {

namespace {

constexpr int32_t kTypeMismatch = 13;

// Shortest text that reads back as the same number, never with an exponent; to_chars
// ignores the locale, so the mark is always ".".
template <typename T> std::string PlainDecimal(T value) {
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (res.ec != std::errc()) return std::string();
    return std::string(buf, res.ptr);
}

// Halves go to the even neighbour, as the runtime's integer conversion does.
double RoundHalfEven(double x) {
    double lower = std::floor(x);
    double diff = x - lower;
    if (diff > 0.5) return lower + 1;
    if (diff < 0.5) return lower;
    return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

std::optional<int32_t> ToInt32(double x) {
    if (!std::isfinite(x)) return std::nullopt;
    double r = RoundHalfEven(x);
    if (r < static_cast<double>(std::numeric_limits<int32_t>::min()) ||
        r > static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::nullopt;
    return static_cast<int32_t>(r);
}

// A number written as text: blanks around it, an optional sign, "." as the mark.
std::optional<double> ParseNumberText(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    size_t e = text.find_last_not_of(" \t");
    std::string s = text.substr(b, e - b + 1);
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        s.erase(0, 1);
    }
    if (s.empty() || s[0] == '+' || s[0] == '-') return std::nullopt;
    double v = 0;
    auto res = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return negative ? -v : v;
}

std::string CurrencyText(int64_t scaled) {
    bool negative = scaled < 0;
    uint64_t u = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    std::string text = (negative ? "-" : "") + std::to_string(u / 10000);
    unsigned frac = static_cast<unsigned>(u % 10000);
    if (frac != 0) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04u", frac);
        std::string digits(buf);
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text;
}

// Civil date of a day count since 1899-12-30; nothing outside the years 100 to 9999.
std::optional<std::string> DateText(double days) {
    if (!std::isfinite(days)) return std::nullopt;
    // Before the epoch the whole part is still the day (the fraction is the time).
    double whole = std::trunc(days);
    if (whole < -657434 || whole > 2958465) return std::nullopt;
    int64_t z = static_cast<int64_t>(whole) - 25569 + 719468; // days since 0000-03-01
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", static_cast<int>(d), static_cast<int>(m),
                  static_cast<int>(y));
    return std::string(buf);
}

std::string GuidText(const Guid& g) {
    static const char* hex = "0123456789ABCDEF";
    std::string text = "{";
    for (size_t i = 0; i < g.bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += hex[g.bytes[i] >> 4];
        text += hex[g.bytes[i] & 0x0F];
    }
    return text + "}";
}

// Numeric view of a value for comparisons; text only when it reads as a number.
std::optional<long double> NumericOf(const Value& v) {
    return std::visit(
        [](const auto& x) -> std::optional<long double> {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, bool>)
                return x ? -1.0L : 0.0L;
            else if constexpr (std::is_arithmetic_v<T>)
                return static_cast<long double>(x);
            else if constexpr (std::is_same_v<T, Currency>)
                return static_cast<long double>(x.scaled) / 10000.0L;
            else if constexpr (std::is_same_v<T, Date>)
                return static_cast<long double>(x.days);
            else if constexpr (std::is_same_v<T, std::string>) {
                auto n = ParseNumberText(x);
                if (!n) return std::nullopt;
                return static_cast<long double>(*n);
            } else
                return std::nullopt;
        },
        v);
}

// a > b by the runtime's rules: texts by their characters, numbers numerically, a text
// against a number as a number; a null is never greater nor smaller.
bool IsGreater(const Value& a, const Value& b) {
    if (IsNull(a) || IsNull(b)) return false;
    const auto* ta = std::get_if<std::string>(&a);
    const auto* tb = std::get_if<std::string>(&b);
    if (ta && tb) return *ta > *tb;
    auto na = NumericOf(a);
    auto nb = NumericOf(b);
    if (!na || !nb) RaiseError(kTypeMismatch, "Type mismatch");
    return *na > *nb;
}

} // namespace

std::string MemCStr(double size, bool shortForm) {
    try {
        const bool negative = size < 0;
        if (negative) size = -size;
        std::string number;
        std::string unit;
        if (size > 989560464998.4) {
            number = CStr1_00(size / 1099511627776.0);
            unit = " ТБ";
        } else if (size > 966367641.6) {
            number = CStr1_00(size / 1073741824.0);
            unit = " ГБ";
        } else if (size > 943718.4) {
            number = CStr1_00(size / 1048576.0);
            unit = " МБ";
        } else if (size > 921.6) {
            number = CStr1_00(size / 1024.0);
            unit = " КБ";
        } else {
            number = PlainDecimal(size);
            unit = " байт";
        }
        std::string text = (negative ? "-" : "") + number + unit;
        if (!shortForm) text += " (" + std::string(negative ? "-" : "") + PlainDecimal(size) + ")";
        return text;
    }
    K5_TRAP("miVedovodeduzOR", "MemCStr")
}

std::string EscapeControls(const std::string& text, bool keepLineBreaks) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
        } else if (keepLineBreaks && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += "\r\n";
            ++i;
        } else if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        } else {
            static const char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string CStr1_00(double value) {
    try {
        if (!std::isfinite(value)) return PlainDecimal(value);
        // Rounded in hundredths, halves away from zero as the format pattern does.
        if (std::fabs(value) >= 9.0e15) return PlainDecimal(std::round(value));
        const long long hundredths = std::llround(value * 100.0);
        const bool negative = hundredths < 0;
        const unsigned long long u = negative ? 0ULL - static_cast<unsigned long long>(hundredths)
                                              : static_cast<unsigned long long>(hundredths);
        std::string text = (negative ? "-" : "") + std::to_string(u / 100);
        const unsigned frac = static_cast<unsigned>(u % 100);
        if (frac != 0) {
            text += '.';
            text += static_cast<char>('0' + frac / 10);
            if (frac % 10 != 0) text += static_cast<char>('0' + frac % 10);
        }
        return text;
    }
    K5_TRAP("miVedovodeduzOR", "CStr1_00")
}

std::string GetVersion() {
    try {
        return std::to_string(K5_VERSION_MAJOR) + "." + std::to_string(K5_VERSION_MINOR) + "." +
               std::to_string(K5_VERSION_PATCH);
    }
    K5_TRAP("miVedovodeduzOR", "GetVersion")
}

std::string VarToStr(const Value& value, const std::string& defaultText) {
    try {
        std::optional<std::string> text = std::visit(
            [](const auto& x) -> std::optional<std::string> {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, Null> || std::is_same_v<T, Bytes>)
                    return std::nullopt;
                else if constexpr (std::is_same_v<T, bool>)
                    return std::string(x ? "True" : "False");
                else if constexpr (std::is_integral_v<T>)
                    return std::to_string(x);
                else if constexpr (std::is_floating_point_v<T>) {
                    if (!std::isfinite(x)) return std::nullopt;
                    return PlainDecimal(x);
                } else if constexpr (std::is_same_v<T, Currency>)
                    return CurrencyText(x.scaled);
                else if constexpr (std::is_same_v<T, Date>)
                    return DateText(x.days);
                else if constexpr (std::is_same_v<T, Guid>)
                    return GuidText(x);
                else
                    return x;
            },
            value);
        return text ? *text : defaultText;
    } catch (...) {
        // The conversion's failure is passed over: the default stands.
        return defaultText;
    }
}

int32_t VarToLng(const Value& value, int32_t defaultValue) {
    try {
        std::optional<int32_t> n = std::visit(
            [](const auto& x) -> std::optional<int32_t> {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, bool>)
                    return x ? -1 : 0;
                else if constexpr (std::is_integral_v<T>) {
                    if (x < std::numeric_limits<int32_t>::min() || x > std::numeric_limits<int32_t>::max())
                        return std::nullopt;
                    return static_cast<int32_t>(x);
                } else if constexpr (std::is_floating_point_v<T>)
                    return ToInt32(static_cast<double>(x));
                else if constexpr (std::is_same_v<T, Currency>) {
                    int64_t q = x.scaled / 10000;
                    int64_t r = x.scaled % 10000;
                    int64_t sign = x.scaled < 0 ? -1 : 1;
                    int64_t ar = r < 0 ? -r : r;
                    if (ar > 5000 || (ar == 5000 && q % 2 != 0)) q += sign;
                    if (q < std::numeric_limits<int32_t>::min() || q > std::numeric_limits<int32_t>::max())
                        return std::nullopt;
                    return static_cast<int32_t>(q);
                } else if constexpr (std::is_same_v<T, Date>)
                    return ToInt32(x.days);
                else if constexpr (std::is_same_v<T, std::string>) {
                    auto d = ParseNumberText(x);
                    if (!d) return std::nullopt;
                    return ToInt32(*d);
                } else
                    return std::nullopt;
            },
            value);
        return n ? *n : defaultValue;
    } catch (...) {
        return defaultValue;
    }
}

Value MaxOf(const std::vector<Value>& values) {
    if (values.empty()) return Null{};
    Value held = values.front();
    for (size_t i = 1; i < values.size(); ++i) {
        if (IsGreater(values[i], held)) held = values[i];
    }
    return held;
}

std::string JoinWith(const std::string& first, const std::string& second, char separator) {
    if (first.empty() && second.empty()) return std::string();
    if (first.empty()) return second;
    std::string a = first;
    std::string b = second;
    if (!a.empty() && a.back() == separator) a.pop_back();
    if (!b.empty() && b.front() == separator) b.erase(0, 1);
    return a + separator + b;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    return JoinWith(folder, name, '/');
}

void ShowWarning(UserInteraction& ui, const std::string& text, const std::string& caption) {
    // The interaction layer shows the normal pointer while the box is up and restores it.
    ui.ShowMessage(text, caption, BoxIcon::Warning);
}

} // namespace k5
