// Field values: conversions of assigned values into a field's type, and defaults.
#include "dbengine/EngineInternal.h"
#include "support/Utf8.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <ctime>

namespace k5::db::detail {

namespace {

struct Number {
    bool ok = false;
    bool isInt = false;
    int64_t i = 0;
    double d = 0;
};

Number ParseNumber(const std::string& text) {
    Number n;
    const std::string s = Trim(text);
    if (s.empty()) return n;
    const char* b = s.data();
    const char* e = b + s.size();
    if (*b == '+') ++b;
    int64_t i = 0;
    auto r = std::from_chars(b, e, i);
    if (r.ec == std::errc() && r.ptr == e) {
        n.ok = n.isInt = true;
        n.i = i;
        n.d = static_cast<double>(i);
        return n;
    }
    double d = 0;
    auto rd = std::from_chars(b, e, d);
    if (rd.ec == std::errc() && rd.ptr == e && std::isfinite(d)) {
        n.ok = true;
        n.d = d;
    }
    return n;
}

Number AsNumber(const Value& v) {
    Number n;
    n.ok = true;
    n.isInt = true;
    if (auto p = std::get_if<bool>(&v))
        n.i = *p ? -1 : 0;
    else if (auto p = std::get_if<uint8_t>(&v))
        n.i = *p;
    else if (auto p = std::get_if<int16_t>(&v))
        n.i = *p;
    else if (auto p = std::get_if<int32_t>(&v))
        n.i = *p;
    else if (auto p = std::get_if<int64_t>(&v))
        n.i = *p;
    else if (auto p = std::get_if<Currency>(&v)) {
        if (p->scaled % 10000 == 0) {
            n.i = p->scaled / 10000;
        } else {
            n.isInt = false;
            n.d = static_cast<double>(p->scaled) / 10000.0;
        }
    } else {
        n.isInt = false;
        if (auto p = std::get_if<float>(&v))
            n.d = *p;
        else if (auto p = std::get_if<double>(&v))
            n.d = *p;
        else if (auto p = std::get_if<Date>(&v))
            n.d = p->days;
        else if (auto p = std::get_if<std::string>(&v))
            return ParseNumber(*p);
        else
            n.ok = false;
        if (n.ok && !std::isfinite(n.d)) n.ok = false;
    }
    if (n.isInt) n.d = static_cast<double>(n.i);
    return n;
}

int64_t IntegralIn(const Number& n, int64_t lo, int64_t hi) {
    if (!n.ok) ConversionError();
    int64_t i = 0;
    if (n.isInt) {
        i = n.i;
    } else {
        // Only lossless conversions: a fraction cannot go into an integer field.
        if (n.d != std::floor(n.d) || n.d < -9.2e18 || n.d > 9.2e18) ConversionError();
        i = static_cast<int64_t>(n.d);
    }
    if (i < lo || i > hi) ConversionError();
    return i;
}

std::string NumberText(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

std::string GuidText(const Guid& g) {
    static const char* hex = "0123456789ABCDEF";
    // Stored order is the text order; no byte swapping.
    std::string s = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += hex[g.bytes[i] >> 4];
        s += hex[g.bytes[i] & 15];
    }
    return s + "}";
}

bool ParseGuid(const std::string& text, Guid& g) {
    std::string h;
    for (char c : Trim(text))
        if (c != '{' && c != '}' && c != '-') h += c;
    if (h.size() != 32) return false;
    for (int i = 0; i < 16; ++i) {
        unsigned v = 0;
        auto r = std::from_chars(h.data() + 2 * i, h.data() + 2 * i + 2, v, 16);
        if (r.ec != std::errc() || r.ptr != h.data() + 2 * i + 2) return false;
        g.bytes[i] = static_cast<uint8_t>(v);
    }
    return true;
}

constexpr double kMinDate = -657434.0; // 0100-01-01
constexpr double kMaxDate = 2958465.99999999;

double NowDays(bool date, bool time) {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    // Days from 1899-12-30 to the civil date (proleptic Gregorian).
    auto daysFromCivil = [](int y, unsigned m, unsigned d) {
        y -= m <= 2;
        const int era = (y >= 0 ? y : y - 399) / 400;
        const unsigned yoe = static_cast<unsigned>(y - era * 400);
        const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + static_cast<int>(doe) - 719468;
    };
    const double days =
        daysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) - daysFromCivil(1899, 12, 30);
    const double frac = (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) / 86400.0;
    return (date ? days : 0) + (time ? frac : 0);
}

} // namespace

Value ConvertForField(const Field& f, const Value& v) {
    if (IsNull(v)) return v;
    switch (f.Type) {
    case dbBoolean: {
        if (auto s = std::get_if<std::string>(&v)) {
            const std::string u = Upper(Trim(*s));
            if (u == "TRUE" || u == "YES" || u == "ON") return true;
            if (u == "FALSE" || u == "NO" || u == "OFF") return false;
        }
        const Number n = AsNumber(v);
        if (!n.ok) ConversionError();
        return n.isInt ? n.i != 0 : n.d != 0;
    }
    case dbByte:
        return static_cast<uint8_t>(IntegralIn(AsNumber(v), 0, 255));
    case dbInteger:
        return static_cast<int16_t>(IntegralIn(AsNumber(v), INT16_MIN, INT16_MAX));
    case dbLong:
        return static_cast<int32_t>(IntegralIn(AsNumber(v), INT32_MIN, INT32_MAX));
    case dbCurrency: {
        if (auto c = std::get_if<Currency>(&v)) return *c;
        const Number n = AsNumber(v);
        if (!n.ok) ConversionError();
        constexpr int64_t kMax = INT64_MAX / 10000;
        if (n.isInt) {
            if (n.i > kMax || n.i < -kMax) ConversionError();
            return Currency{n.i * 10000};
        }
        if (std::fabs(n.d) >= 922337203685477.0) ConversionError();
        return Currency{std::llround(n.d * 10000.0)};
    }
    case dbSingle: {
        if (auto p = std::get_if<float>(&v)) return *p;
        const Number n = AsNumber(v);
        if (!n.ok || std::fabs(n.d) > FLT_MAX) ConversionError();
        return static_cast<float>(n.d);
    }
    case dbDouble: {
        const Number n = AsNumber(v);
        if (!n.ok) ConversionError();
        return n.d;
    }
    case dbDate: {
        if (std::holds_alternative<std::string>(v) || std::holds_alternative<Bytes>(v) ||
            std::holds_alternative<Guid>(v))
            ConversionError();
        const Number n = AsNumber(v);
        if (!n.ok || n.d < kMinDate || n.d > kMaxDate) ConversionError();
        return Date{n.d};
    }
    case dbText:
    case dbMemo: {
        if (auto s = std::get_if<std::string>(&v)) {
            if (!utf8::IsValid(s->data(), s->size())) ConversionError();
            return *s;
        }
        if (auto g = std::get_if<Guid>(&v)) return GuidText(*g);
        if (std::holds_alternative<Bytes>(v) || std::holds_alternative<Date>(v)) ConversionError();
        if (auto b = std::get_if<bool>(&v)) return std::string(*b ? "True" : "False");
        const Number n = AsNumber(v);
        if (!n.ok) ConversionError();
        return n.isInt ? std::to_string(n.i) : NumberText(n.d);
    }
    case dbBinary:
    case dbLongBinary: {
        if (auto b = std::get_if<Bytes>(&v)) return *b;
        if (auto g = std::get_if<Guid>(&v)) return Bytes(g->bytes.begin(), g->bytes.end());
        ConversionError();
    }
    case dbGUID: {
        if (auto g = std::get_if<Guid>(&v)) return *g;
        Guid g;
        if (auto b = std::get_if<Bytes>(&v); b && b->size() == 16) {
            std::copy(b->begin(), b->end(), g.bytes.begin());
            return g;
        }
        if (auto s = std::get_if<std::string>(&v); s && ParseGuid(*s, g)) return g;
        ConversionError();
    }
    default:
        ConversionError();
    }
}

Value EvaluateDefault(const Field& f) {
    try {
        if (IsNull(f.DefaultValue)) return Null{};
        const auto text = std::get_if<std::string>(&f.DefaultValue);
        if (!text) return ConvertForField(f, f.DefaultValue);
        std::string s = Trim(*text);
        if (!s.empty() && s[0] == '=') s = Trim(s.substr(1));
        if (s.empty()) return Null{};
        if (s.size() >= 2 && (s[0] == '"' || s[0] == '\'') && s.back() == s[0]) {
            std::string inner;
            for (size_t i = 1; i + 1 < s.size(); ++i) {
                inner += s[i];
                if (s[i] == s[0] && i + 2 < s.size() && s[i + 1] == s[0]) ++i;
            }
            return ConvertForField(f, inner);
        }
        const std::string u = Upper(s);
        if (u == "NOW()") return ConvertForField(f, Date{NowDays(true, true)});
        if (u == "DATE()") return ConvertForField(f, Date{NowDays(true, false)});
        if (u == "TIME()") return ConvertForField(f, Date{NowDays(false, true)});
        if (u == "NULL") return Null{};
        if (u == "TRUE" || u == "YES" || u == "ON") return ConvertForField(f, true);
        if (u == "FALSE" || u == "NO" || u == "OFF") return ConvertForField(f, false);
        const Number n = ParseNumber(s);
        if (!n.ok) return Null{};
        return n.isInt ? ConvertForField(f, n.i) : ConvertForField(f, n.d);
    } catch (const EngineError&) {
        // A default that does not fit the field leaves the field empty, as an unknown one does.
        return Null{};
    }
}

} // namespace k5::db::detail
