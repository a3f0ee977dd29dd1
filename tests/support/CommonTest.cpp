// Formatting helpers: sizes, numbers, values, paths.
#include "TempDir.h"

#include "support/Common.h"

#include <QProcess>

#include <clocale>
#include <cstdio>
#include <cstdlib>

using k5::Value;

TEST(MemCStr, UnitsAndForms) {
    // 0.9 of a unit exactly stays in the smaller unit (943718.4).
    // clang-format off
    const std::tuple<double, bool, const char*> cases[] = {
        {0, true, "0 байт"}, {921, true, "921 байт"}, {922, true, "0.9 КБ"}, {1048576, true, "1 МБ"},
        {-1536, true, "-1.5 КБ"}, {-1536, false, "-1.5 КБ (-1536)"}, {921, false, "921 байт (921)"},
        {943718.4, true, "921.6 КБ"}, {2.0 * 1099511627776.0, true, "2 ТБ"},
        {3000000000.0, false, "2.79 ГБ (3000000000)"}};
    // clang-format on
    for (const auto& [size, shortForm, text] : cases)
        EXPECT_EQ(k5::MemCStr(size, shortForm), text) << size << " short=" << shortForm;
}

TEST(CStr1_00, RoundsToTwoDecimalsWithPointMark) {
    const std::pair<double, const char*> cases[] = {
        {2, "2"},     {0.9765625, "0.98"}, {0.125, "0.13"},  {-0.125, "-0.13"},
        {0.004, "0"}, {0.996, "1"},        {100.1, "100.1"}, {1234567.891, "1234567.89"}};
    for (const auto& [value, text] : cases)
        EXPECT_EQ(k5::CStr1_00(value), text) << value;
}

namespace {

// A locale whose decimal mark is a comma: the installed one, else one compiled from the
// system's sources into a scratch folder.
bool SwitchToCommaLocale(const k5test::TempDir& dir) {
    for (const char* name : {"ru_RU.UTF-8", "ru_RU.utf8", "de_DE.UTF-8"})
        if (std::setlocale(LC_NUMERIC, name) != nullptr) return true;
    QProcess localedef;
    localedef.start("localedef",
                    {"-i", "ru_RU", "-f", "UTF-8", QString::fromStdString(dir.Sub("ru_RU.UTF-8"))});
    if (!localedef.waitForFinished(60000)) return false;
    setenv("LOCPATH", dir.Path().c_str(), 1);
    const bool ok = std::setlocale(LC_NUMERIC, "ru_RU.UTF-8") != nullptr;
    unsetenv("LOCPATH");
    return ok;
}

} // namespace

TEST(CStr1_00, SameTextUnderACommaLocale) {
    k5test::TempDir dir;
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (!SwitchToCommaLocale(dir)) GTEST_SKIP() << "no locale with a comma decimal mark could be set up";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    const std::string texts[] = {probe, k5::CStr1_00(0.9765625), k5::MemCStr(1536, false),
                                 k5::VarToStr(Value(2.25), "")};
    std::setlocale(LC_NUMERIC, previous.c_str());
    ASSERT_EQ(texts[0], "1,5") << "the locale does not use a comma";
    EXPECT_EQ(texts[1], "0.98");
    EXPECT_EQ(texts[2], "1.5 КБ (1536)");
    EXPECT_EQ(texts[3], "2.25");
}

TEST(VarToStr, TextOfEachKind) {
    k5::Guid guid;
    for (size_t i = 0; i < guid.bytes.size(); ++i)
        guid.bytes[i] = static_cast<uint8_t>(i * 17);
    // clang-format off
    const std::pair<Value, const char*> cases[] = {
        {k5::Date{44270.75}, "15.03.2021"}, {k5::Date{-1.5}, "29.12.1899"}, {k5::Date{60}, "28.02.1900"},
        {k5::Date{61}, "01.03.1900"}, {k5::Date{2958465}, "31.12.9999"}, {k5::Date{2958466}, "по умолчанию"},
        {k5::Null{}, "по умолчанию"}, {k5::Bytes{1, 2}, "по умолчанию"}, {true, "True"}, {false, "False"},
        {int32_t(-42), "-42"}, {int64_t(9000000000LL), "9000000000"}, {uint8_t(200), "200"},
        {int16_t(-7), "-7"}, {0.1, "0.1"}, {1e20, "100000000000000000000"}, {0.1f, "0.1"},
        {k5::Currency{-12345}, "-1.2345"}, {k5::Currency{20000}, "2"}, {k5::Currency{5}, "0.0005"},
        {std::string("Текст"), "Текст"}, {guid, "{00112233-4455-6677-8899-AABBCCDDEEFF}"}};
    // clang-format on
    for (const auto& [value, text] : cases)
        EXPECT_EQ(k5::VarToStr(value, "по умолчанию"), text) << "variant index " << value.index();
}

TEST(VarToLng, RoundsHalvesToEvenAndFallsBack) {
    // clang-format off
    const std::pair<Value, int32_t> cases[] = {
        {2.5, 2}, {3.5, 4}, {-2.5, -2}, {2.5001, 3}, {0.5f, 0}, {-2147483648.0, -2147483647 - 1},
        {2147483647.5, -99}, {int64_t(5000000000LL), -99}, {std::string(" 7.5 "), 8}, {std::string("+3"), 3},
        {std::string("12abc"), -99}, {std::string(""), -99}, {k5::Null{}, -99}, {k5::Bytes{1}, -99},
        {k5::Currency{25000}, 2}, {k5::Currency{-25000}, -2}, {k5::Currency{-25001}, -3}, {true, -1},
        {k5::Date{44270.6}, 44271}};
    // clang-format on
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(k5::VarToLng(value, -99), expected) << "variant index " << value.index();
}

TEST(MaxOf, LargestWithTiesKeepingTheEarlier) {
    EXPECT_EQ(k5::MaxOf({int32_t(0), int32_t(-5)}), Value(int32_t(0)));
    EXPECT_EQ(k5::MaxOf({int32_t(3), 7.5, int16_t(7)}), Value(7.5));
    EXPECT_EQ(k5::MaxOf({int32_t(5), 5.0}), Value(int32_t(5))); // equal: the first stays
    // Texts compare as texts, a text against a number as a number.
    EXPECT_EQ(k5::MaxOf({std::string("10"), std::string("9")}), Value(std::string("9")));
    EXPECT_EQ(k5::MaxOf({int32_t(9), std::string("10")}), Value(std::string("10")));
    EXPECT_EQ(k5::MaxOf({int64_t(9007199254740993LL), int64_t(9007199254740992LL)}),
              Value(int64_t(9007199254740993LL)));
    EXPECT_TRUE(k5::IsNull(k5::MaxOf({})));
    EXPECT_THROW(k5::MaxOf({int32_t(1), k5::Bytes{1}}), k5::K5Error);
    EXPECT_THROW(k5::MaxOf({int32_t(1), std::string("abc")}), k5::K5Error);
}

TEST(JoinPath, ExactlyOneSlashBetween) {
    EXPECT_EQ(k5::JoinPath("/data/k5/", "/Korund5.mdb"), "/data/k5/Korund5.mdb");
    EXPECT_EQ(k5::JoinPath("/data/k5", "Korund5.mdb"), "/data/k5/Korund5.mdb");
    EXPECT_EQ(k5::JoinPath("", "/Korund5.mdb"), "/Korund5.mdb");
}
