// Stored values: binding a field's value to a statement and reading stored values back.
#include "dbengine/EngineInternal.h"
#include "support/Utf8.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <variant>

namespace k5::db::detail {

namespace {
template <class... F> struct Overloaded : F... { using F::operator()...; };
} // namespace

void BindValue(sqlite3_stmt* st, int index, const Field& f, const Value& v) {
    // Whole numbers up to 32 bits, 64-bit ones (money as its scaled integer), and reals (dates
    // as their day count) each go to one kind of binding.
    const int rc = std::visit(
        Overloaded{
            [&](const Null&) {
        return sqlite3_bind_null(st, index); },
            [&](bool b) {
        return sqlite3_bind_int(st, index, b ? 1 : 0); },
            [&](auto n)
                requires std::is_integral_v<decltype(n)> && (sizeof(n) <= 4)
            { return sqlite3_bind_int(st, index, n);
}
, [&](int64_t n) { return sqlite3_bind_int64(st, index, n); },
    [&](const Currency& c) { return sqlite3_bind_int64(st, index, c.scaled); },
    [&](auto x) requires std::is_floating_point_v<decltype(x)> {
    return sqlite3_bind_double(st, index, x);
}
, [&](const Date& d) { return sqlite3_bind_double(st, index, d.days); },
    [&](const std::string& s) {
        return sqlite3_bind_text(st, index, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
    },
    [&](const Bytes& b) {
        return b.empty() ? sqlite3_bind_zeroblob(st, index, 0)
                         : sqlite3_bind_blob(st, index, b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
    },
    [&](const Guid& g) { return sqlite3_bind_blob(st, index, g.bytes.data(), 16, SQLITE_STATIC); }
} // namespace k5::db::detail
,
        v);
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
