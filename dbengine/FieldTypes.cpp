// Field types: declared SQLite types, sizes and the definitions read from them.
#include "dbengine/EngineInternal.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

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

// Every fixed-size type, and the four of variable size.
bool IsKnownType(int type) {
    return FixedSize(type) > 0 || type == dbBinary || type == dbText || type == dbLongBinary ||
           type == dbMemo;
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

} // namespace k5::db::detail
