// Formatting helpers: sizes, numbers, values, paths.
#include "TempDir.h"

#include "support/Codepage.h"
#include "support/Common.h"

#include "common/CommaLocale.h"

#include <optional>

using k5::Value;

// The same texts under the C locale and under one with a comma decimal mark.
TEST(Formatting, SizesRoundedNumbersAndPaths) {
    // 0.9 of a unit exactly stays in the smaller unit; just above it, the larger one.
    // clang-format off
    const std::tuple<double, bool, const char*> sizes[] = {
        {921, true, "921 байт"}, {922, true, "0.9 КБ"}, {943718.4, true, "921.6 КБ"},
        {943718.5, true, "0.9 МБ"}, {966367641.6, true, "921.6 МБ"}, {966367641.7, true, "0.9 ГБ"},
        {989560464998.4, true, "921.6 ГБ"}, {989560464998.5, true, "0.9 ТБ"},
        {-1536, false, "-1.5 КБ (-1536)"}, {3000000000.0, false, "2.79 ГБ (3000000000)"}};
    const std::pair<double, const char*> numbers[] = {
        {2, "2"}, {0.125, "0.13"}, {-0.125, "-0.13"}, {0.996, "1"}, {1234567.891, "1234567.89"}};
    // clang-format on
    for (const bool comma : {false, true}) {
        SCOPED_TRACE(comma ? "comma locale" : "C locale");
        std::optional<k5test::CommaLocale> locale;
        if (comma && !locale.emplace().Active()) GTEST_SKIP() << "no locale with a comma decimal mark";
        for (const auto& [size, shortForm, text] : sizes)
            EXPECT_EQ(k5::MemCStr(size, shortForm), text) << size;
        for (const auto& [value, text] : numbers)
            EXPECT_EQ(k5::CStr1_00(value), text) << value;
        EXPECT_EQ(k5::VarToStr(Value(2.25), ""), "2.25");
    }
    EXPECT_EQ(k5::JoinPath("/data/k5/", "/Korund5.mdb"), "/data/k5/Korund5.mdb"); // exactly one slash
}

TEST(Formatting, JoinWithOneSeparator) {
    const struct {
        const char* first;
        const char* second;
        char separator;
        const char* joined;
    } cases[] = {
        {"", "", '/', ""},
        {"", "/name", '/', "/name"}, // the second alone stays as it is
        {"folder", "", '/', "folder/"},
        {"folder/", "name", '/', "folder/name"},
        {"Software\\", "\\K5", '\\', "Software\\K5"},
        {"Software/", "K5", '\\', "Software/\\K5"}, // only the given separator is folded
    };
    for (const auto& c : cases)
        EXPECT_EQ(k5::JoinWith(c.first, c.second, c.separator), c.joined) << c.first << " + " << c.second;
}

TEST(Formatting, ValuesToTextAndWholeNumbers) {
    k5::Guid guid;
    for (size_t i = 0; i < guid.bytes.size(); ++i)
        guid.bytes[i] = static_cast<uint8_t>(i * 17);
    // clang-format off
    const std::pair<Value, const char*> texts[] = {
        {k5::Date{44270.75}, "15.03.2021"}, {k5::Date{60}, "28.02.1900"}, {k5::Date{61}, "01.03.1900"},
        {k5::Date{2958466}, "по умолчанию"}, {k5::Null{}, "по умолчанию"}, {true, "True"},
        {1e20, "100000000000000000000"}, {0.1f, "0.1"}, {k5::Currency{-12345}, "-1.2345"},
        {guid, "{00112233-4455-6677-8899-AABBCCDDEEFF}"}};
    const std::pair<Value, int32_t> numbers[] = {
        {2.5, 2}, {3.5, 4}, {2147483647.5, -99}, {std::string(" 7.5 "), 8}, {std::string("12abc"), -99},
        {k5::Null{}, -99}, {k5::Currency{-25001}, -3}, {true, -1}};
    // clang-format on
    for (const auto& [value, text] : texts)
        EXPECT_EQ(k5::VarToStr(value, "по умолчанию"), text) << "variant index " << value.index();
    for (const auto& [value, expected] : numbers)
        EXPECT_EQ(k5::VarToLng(value, -99), expected) << "variant index " << value.index();
}

// A character the code page lacks is one "?"; a byte that starts no valid UTF-8 sequence is
// one "?" as well and takes no byte after it along.
TEST(Codepage, EachInvalidByteOnItsOwn) {
    const std::pair<std::string, std::string> texts[] = {
        {"Ёж.mdb", "\xA8\xE6.mdb"},   {"a😀b数.mdb", "a?b?.mdb"},  {"a\xF0.mdb", "a?.mdb"},
        {"a\xF8\xFF.mdb", "a??.mdb"}, {"\xE2\x82.mdb", "??.mdb"}, {"ж\xD0", "\xE6?"},
        {"\xC0\xAF.m", "??.m"}};
    for (const auto& [utf8, cp1251] : texts)
        EXPECT_EQ(k5::Utf8ToCp1251(utf8), cp1251) << utf8;
}

TEST(MaxOf, LargestWithTiesKeepingTheEarlier) {
    EXPECT_EQ(k5::MaxOf({int32_t(5), 5.0}), Value(int32_t(5))); // equal: the first stays
    // Texts compare as texts, a text against a number as a number.
    EXPECT_EQ(k5::MaxOf({std::string("10"), std::string("9")}), Value(std::string("9")));
    EXPECT_EQ(k5::MaxOf({int32_t(9), std::string("10")}), Value(std::string("10")));
    EXPECT_TRUE(k5::IsNull(k5::MaxOf({})));
}
