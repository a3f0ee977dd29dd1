// Stored values: binding a field's value to a statement and reading stored values back.
#include "dbengine/EngineInternal.h"
#include "support/Utf8.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace k5::db::detail {

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
