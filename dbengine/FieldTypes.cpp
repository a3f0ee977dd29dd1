// Field types: declared SQLite types, value domains, conversions, defaults and storage.
#include "dbengine/EngineInternal.h"
#include "support/Utf8.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

namespace k5::db {

Field TableDef::CreateField(const std::string& name, int type, int size) const {
    Field f;
    f.Name = name;
    f.Type = type;
    const int fixed = detail::FixedSize(type);
    if (type == dbText)
        f.Size = size > 0 ? size : 50;
    else if (type == dbBinary)
        f.Size = size > 0 ? size : 255;
    else
        f.Size = fixed;
    f.Attributes = (type == dbText || type == dbBinary || type == dbMemo || type == dbLongBinary)
                       ? dbVariableField
                       : dbFixedField;
    return f;
}

} // namespace k5::db

namespace k5::db::detail {

namespace {

[[noreturn]] void ConversionError() {
    Raise(3421, "Ошибка преобразования типа данных.");
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

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

bool IsKnownType(int type) {
    switch (type) {
    case dbBoolean:
    case dbByte:
    case dbInteger:
    case dbLong:
    case dbCurrency:
    case dbSingle:
    case dbDouble:
    case dbDate:
    case dbBinary:
    case dbText:
    case dbLongBinary:
    case dbMemo:
    case dbGUID:
        return true;
    default:
        return false;
    }
}

int FixedSize(int type) {
    switch (type) {
    case dbBoolean:
    case dbByte:
        return 1;
    case dbInteger:
        return 2;
    case dbLong:
    case dbSingle:
        return 4;
    case dbCurrency:
    case dbDouble:
    case dbDate:
        return 8;
    case dbGUID:
        return 16;
    default:
        return 0;
    }
}

bool IsTextType(int type) {
    return type == dbText || type == dbMemo;
}

std::string DeclaredType(const Field& f) {
    switch (f.Type) {
    case dbBoolean:
        return "BIT";
    case dbByte:
        return "BYTE";
    case dbInteger:
        return "SMALLINT";
    case dbLong:
        return (f.Attributes & dbAutoIncrField) ? "COUNTER" : "LONG";
    case dbCurrency:
        return "CURRENCY";
    case dbSingle:
        return "REAL";
    case dbDouble:
        return "DOUBLE";
    case dbDate:
        return "DATETIME";
    case dbBinary:
        return "BINARY(" + std::to_string(f.Size) + ")";
    case dbText:
        return "TEXT(" + std::to_string(f.Size) + ")";
    case dbLongBinary:
        return "LONGBINARY";
    case dbMemo:
        return "LONGTEXT";
    case dbGUID:
        return "GUID";
    default:
        return "BLOB";
    }
}

Field FieldFromDeclared(const std::string& name, const std::string& declType, bool notNull) {
    std::string d = Upper(Trim(declType));
    int size = 0;
    const auto paren = d.find('(');
    if (paren != std::string::npos) {
        size = std::atoi(d.c_str() + paren + 1);
        d = Trim(d.substr(0, paren));
    }
    const auto space = d.find(' ');
    const std::string word = space == std::string::npos ? d : d.substr(0, space);
    auto is = [&](std::initializer_list<const char*> names) {
        return std::any_of(names.begin(), names.end(), [&](const char* n) { return word == n; });
    };
    int type;
    bool autoInc = false;
    if (is({"BIT", "BOOLEAN", "BOOL", "YESNO", "LOGICAL", "LOGICAL1"}))
        type = dbBoolean;
    else if (is({"BYTE", "TINYINT", "INTEGER1"}))
        type = dbByte;
    else if (is({"SHORT", "SMALLINT", "INTEGER2"}))
        type = dbInteger;
    else if (is({"LONG", "INT", "INTEGER", "INTEGER4"}))
        type = dbLong;
    else if (is({"COUNTER", "AUTOINCREMENT"}))
        type = dbLong, autoInc = true;
    else if (is({"CURRENCY", "MONEY"}))
        type = dbCurrency;
    else if (is({"REAL", "SINGLE", "FLOAT4", "IEEESINGLE"}))
        type = dbSingle;
    else if (is({"FLOAT", "DOUBLE", "FLOAT8", "IEEEDOUBLE", "NUMBER", "NUMERIC", "DECIMAL"}))
        type = dbDouble;
    else if (is({"DATETIME", "DATE", "TIME", "TIMESTAMP"}))
        type = dbDate;
    else if (is({"BINARY", "VARBINARY"}))
        type = dbBinary;
    else if (is({"LONGBINARY", "BLOB", "IMAGE", "GENERAL", "OLEOBJECT"}))
        type = dbLongBinary;
    else if (is({"TEXT", "VARCHAR", "CHAR", "CHARACTER", "STRING", "NVARCHAR", "NCHAR", "ALPHANUMERIC"}))
        type = dbText;
    else if (is({"LONGTEXT", "MEMO", "NOTE", "CLOB", "NTEXT", "LONGCHAR"}))
        type = dbMemo;
    else if (is({"GUID", "UNIQUEIDENTIFIER"}))
        type = dbGUID;
    else if (d.find("INT") != std::string::npos)
        type = dbLong;
    else if (d.find("CHAR") != std::string::npos || d.find("CLOB") != std::string::npos ||
             d.find("TEXT") != std::string::npos)
        type = dbMemo;
    else if (d.find("BLOB") != std::string::npos)
        type = dbLongBinary;
    else
        type = dbDouble;

    Field f = TableDef{}.CreateField(name, type, 0);
    if (type == dbText) f.Size = (size > 0 && size <= 255) ? size : 255;
    if (type == dbBinary) f.Size = (size > 0 && size <= 255) ? size : 255;
    if (autoInc) f.Attributes |= dbAutoIncrField;
    f.Required = notNull;
    return f;
}

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

void BindValue(sqlite3_stmt* st, int index, const Field& f, const Value& v) {
    int rc = SQLITE_OK;
    if (IsNull(v))
        rc = sqlite3_bind_null(st, index);
    else if (auto p = std::get_if<bool>(&v))
        rc = sqlite3_bind_int(st, index, *p ? 1 : 0);
    else if (auto p = std::get_if<uint8_t>(&v))
        rc = sqlite3_bind_int(st, index, *p);
    else if (auto p = std::get_if<int16_t>(&v))
        rc = sqlite3_bind_int(st, index, *p);
    else if (auto p = std::get_if<int32_t>(&v))
        rc = sqlite3_bind_int(st, index, *p);
    else if (auto p = std::get_if<int64_t>(&v))
        rc = sqlite3_bind_int64(st, index, *p);
    else if (auto p = std::get_if<Currency>(&v))
        rc = sqlite3_bind_int64(st, index, p->scaled);
    else if (auto p = std::get_if<float>(&v))
        rc = sqlite3_bind_double(st, index, *p);
    else if (auto p = std::get_if<double>(&v))
        rc = sqlite3_bind_double(st, index, *p);
    else if (auto p = std::get_if<Date>(&v))
        rc = sqlite3_bind_double(st, index, p->days);
    else if (auto p = std::get_if<std::string>(&v))
        rc = sqlite3_bind_text(st, index, p->data(), static_cast<int>(p->size()), SQLITE_STATIC);
    else if (auto p = std::get_if<Bytes>(&v))
        rc = p->empty() ? sqlite3_bind_zeroblob(st, index, 0)
                        : sqlite3_bind_blob(st, index, p->data(), static_cast<int>(p->size()), SQLITE_STATIC);
    else if (auto p = std::get_if<Guid>(&v))
        rc = sqlite3_bind_blob(st, index, p->bytes.data(), 16, SQLITE_STATIC);
    if (rc != SQLITE_OK) RaiseSqlite(sqlite3_db_handle(st), rc, f.Name);
}

bool ReadColumn(sqlite3_stmt* st, int col, const Field& f, Value& out) {
    ColumnView c;
    c.storage = sqlite3_column_type(st, col);
    switch (c.storage) {
    case SQLITE_INTEGER:
        c.i = sqlite3_column_int64(st, col);
        break;
    case SQLITE_FLOAT:
        c.d = sqlite3_column_double(st, col);
        break;
    case SQLITE_TEXT:
        c.p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
        c.n = static_cast<size_t>(sqlite3_column_bytes(st, col));
        break;
    case SQLITE_BLOB:
        c.p = static_cast<const char*>(sqlite3_column_blob(st, col));
        c.n = static_cast<size_t>(sqlite3_column_bytes(st, col));
        break;
    default:
        break;
    }
    return ConvertStored(c, f, out);
}

bool ConvertStored(const ColumnView& c, const Field& f, Value& out) {
    const int t = c.storage;
    if (t == SQLITE_NULL) {
        out = Null{};
        return true;
    }
    auto intIn = [&](int64_t lo, int64_t hi, int64_t& i) {
        if (t != SQLITE_INTEGER) return false;
        i = c.i;
        return i >= lo && i <= hi;
    };
    int64_t i = 0;
    switch (f.Type) {
    case dbBoolean:
        if (t != SQLITE_INTEGER) return false;
        out = c.i != 0;
        return true;
    case dbByte:
        if (!intIn(0, 255, i)) return false;
        out = static_cast<uint8_t>(i);
        return true;
    case dbInteger:
        if (!intIn(INT16_MIN, INT16_MAX, i)) return false;
        out = static_cast<int16_t>(i);
        return true;
    case dbLong:
        if (!intIn(INT32_MIN, INT32_MAX, i)) return false;
        out = static_cast<int32_t>(i);
        return true;
    case dbCurrency:
        if (t != SQLITE_INTEGER) return false;
        out = Currency{c.i};
        return true;
    case dbSingle:
    case dbDouble:
    case dbDate: {
        if (t != SQLITE_INTEGER && t != SQLITE_FLOAT) return false;
        const double d = t == SQLITE_INTEGER ? static_cast<double>(c.i) : c.d;
        if (f.Type == dbSingle) {
            if (std::fabs(d) > FLT_MAX) return false;
            out = static_cast<float>(d);
        } else if (f.Type == dbDate) {
            out = Date{d};
        } else {
            out = d;
        }
        return true;
    }
    case dbText:
    case dbMemo: {
        if (t != SQLITE_TEXT) return false;
        if (!c.p && c.n > 0) return false;
        const char* p = c.p ? c.p : "";
        if (!utf8::IsValid(p, c.n)) return false;
        // Reading row after row into the same cell reuses its buffer.
        if (auto held = std::get_if<std::string>(&out))
            held->assign(p, c.n);
        else
            out = std::string(p, c.n);
        return true;
    }
    case dbBinary:
    case dbLongBinary: {
        if (t != SQLITE_BLOB) return false;
        auto p = reinterpret_cast<const uint8_t*>(c.p);
        const size_t n = p ? c.n : 0;
        if (auto held = std::get_if<Bytes>(&out))
            held->assign(p, p + n);
        else
            out = Bytes(p, p + n);
        return true;
    }
    case dbGUID: {
        if (t != SQLITE_BLOB || c.n != 16 || !c.p) return false;
        Guid g;
        std::memcpy(g.bytes.data(), c.p, 16);
        out = g;
        return true;
    }
    default:
        return false;
    }
}

Value ReadNatural(sqlite3_stmt* st, int col) {
    switch (sqlite3_column_type(st, col)) {
    case SQLITE_INTEGER: {
        const int64_t i = sqlite3_column_int64(st, col);
        if (i >= INT32_MIN && i <= INT32_MAX) return static_cast<int32_t>(i);
        return i;
    }
    case SQLITE_FLOAT:
        return sqlite3_column_double(st, col);
    case SQLITE_TEXT: {
        const char* p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
        return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, col)));
    }
    case SQLITE_BLOB: {
        auto p = static_cast<const uint8_t*>(sqlite3_column_blob(st, col));
        return p ? Bytes(p, p + sqlite3_column_bytes(st, col)) : Bytes{};
    }
    default:
        return Null{};
    }
}

} // namespace k5::db::detail
