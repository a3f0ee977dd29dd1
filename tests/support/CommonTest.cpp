// Formatting helpers: sizes, numbers, values, paths, the warning box.
#include "TempDir.h"

#include "support/Common.h"
#include "support/Error.h"
#include "support/ScriptedInteraction.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <clocale>
#include <cstdio>
#include <cstdlib>

using k5::Value;

namespace {

struct MemCase {
    double size;
    bool shortForm;
    const char* text;
};

} // namespace

TEST(MemCStr, UnitsAndForms) {
    const MemCase cases[] = {
        {0, true, "0 байт"},
        {921, true, "921 байт"},
        {922, true, "0.9 КБ"},
        {1000, true, "0.98 КБ"},
        {1048576, true, "1 МБ"},
        {-1536, true, "-1.5 КБ"},
        {1536, false, "1.5 КБ (1536)"},
        {-1536, false, "-1.5 КБ (-1536)"},
        {921, false, "921 байт (921)"},
        // 0.9 of a unit exactly stays in the smaller unit.
        {943718.4, true, "921.6 КБ"},
        {966367642, true, "0.9 ГБ"},
        {5.5 * 1073741824.0, true, "5.5 ГБ"},
        {2.0 * 1099511627776.0, true, "2 ТБ"},
        {3000000000.0, false, "2.79 ГБ (3000000000)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(k5::MemCStr(c.size, c.shortForm), c.text) << c.size << " short=" << c.shortForm;
    }
}

TEST(CStr1_00, RoundsToTwoDecimalsWithPointMark) {
    const std::pair<double, const char*> cases[] = {
        {1.5, "1.5"},     {2, "2"},       {0.9765625, "0.98"},
        {0.125, "0.13"},  {-2.5, "-2.5"}, {1234567.891, "1234567.89"},
        {0.004, "0"},     {0.996, "1"},   {-0.125, "-0.13"},
        {100.1, "100.1"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(k5::CStr1_00(value), text) << value;
}

namespace {

// A locale whose decimal mark is a comma: the installed one, else one compiled from the
// system's sources into a scratch folder.
bool SwitchToCommaLocale(const k5test::TempDir& dir) {
    for (const char* name : {"ru_RU.UTF-8", "ru_RU.utf8", "de_DE.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) return true;
    }
    QProcess localedef;
    localedef.start("localedef",
                    {"-i", "ru_RU", "-f", "UTF-8", QString::fromStdString(dir.Sub("ru_RU.UTF-8"))});
    if (!localedef.waitForFinished(60000)) return false;
    setenv("LOCPATH", dir.Path().c_str(), 1);
    bool ok = std::setlocale(LC_NUMERIC, "ru_RU.UTF-8") != nullptr;
    unsetenv("LOCPATH");
    return ok;
}

} // namespace

TEST(CStr1_00, SameTextUnderACommaLocale) {
    const double values[] = {1.5, 0.9765625, 2, -1536, 1234567.891};
    std::vector<std::string> pointTexts;
    for (double v : values)
        pointTexts.push_back(k5::CStr1_00(v));
    const std::string memPoint = k5::MemCStr(1536, false);
    const std::string varPoint = k5::VarToStr(Value(2.25), "");

    k5test::TempDir dir;
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (!SwitchToCommaLocale(dir)) GTEST_SKIP() << "no locale with a comma decimal mark could be set up";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    const std::string commaProbe = probe;

    std::vector<std::string> commaTexts;
    for (double v : values)
        commaTexts.push_back(k5::CStr1_00(v));
    const std::string memComma = k5::MemCStr(1536, false);
    const std::string varComma = k5::VarToStr(Value(2.25), "");
    std::setlocale(LC_NUMERIC, previous.c_str());

    ASSERT_EQ(commaProbe, "1,5") << "the locale does not use a comma";
    EXPECT_EQ(commaTexts, pointTexts);
    EXPECT_EQ(memComma, memPoint);
    EXPECT_EQ(varComma, "2.25");
    EXPECT_EQ(varComma, varPoint);
}

TEST(VarToStr, TextOfEachKind) {
    k5::Guid guid;
    for (size_t i = 0; i < guid.bytes.size(); ++i)
        guid.bytes[i] = static_cast<uint8_t>(i * 17);
    const std::pair<Value, const char*> cases[] = {
        {k5::Date{44270}, "15.03.2021"},
        {k5::Date{44270.75}, "15.03.2021"},
        {k5::Date{0}, "30.12.1899"},
        {k5::Date{-1.5}, "29.12.1899"},
        {k5::Date{2}, "01.01.1900"},
        {k5::Date{60}, "28.02.1900"},
        {k5::Date{61}, "01.03.1900"},
        {k5::Date{2958465}, "31.12.9999"},
        {k5::Date{2958466}, "по умолчанию"},
        {k5::Null{}, "по умолчанию"},
        {k5::Bytes{1, 2}, "по умолчанию"},
        {true, "True"},
        {false, "False"},
        {int32_t(-42), "-42"},
        {int64_t(9000000000LL), "9000000000"},
        {uint8_t(200), "200"},
        {int16_t(-7), "-7"},
        {1.5, "1.5"},
        {0.1, "0.1"},
        {1e20, "100000000000000000000"},
        {0.1f, "0.1"},
        {k5::Currency{15000}, "1.5"},
        {k5::Currency{-12345}, "-1.2345"},
        {k5::Currency{20000}, "2"},
        {k5::Currency{5}, "0.0005"},
        {std::string("Текст"), "Текст"},
        {std::string(), ""},
        {guid, "{00112233-4455-6677-8899-AABBCCDDEEFF}"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(k5::VarToStr(value, "по умолчанию"), text) << "variant index " << value.index();
    }
}

TEST(VarToLng, RoundsHalvesToEvenAndFallsBack) {
    const std::pair<Value, int32_t> cases[] = {
        {2.5, 2},
        {3.5, 4},
        {-2.5, -2},
        {-3.5, -4},
        {2.4999, 2},
        {2.5001, 3},
        {0.5f, 0},
        {std::string("12"), 12},
        {std::string(" 7.5 "), 8},
        {std::string("-6.5"), -6},
        {std::string("+3"), 3},
        {std::string("abc"), -99},
        {std::string("12abc"), -99},
        {std::string(""), -99},
        {k5::Null{}, -99},
        {k5::Bytes{1}, -99},
        {3e9, -99},
        {2147483647.0, 2147483647},
        {-2147483648.0, -2147483647 - 1},
        {2147483647.5, -99},
        {int64_t(5000000000LL), -99},
        {int64_t(-5), -5},
        {k5::Currency{25000}, 2},
        {k5::Currency{35000}, 4},
        {k5::Currency{-25000}, -2},
        {k5::Currency{-25001}, -3},
        {true, -1},
        {false, 0},
        {k5::Date{44270.6}, 44271},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(k5::VarToLng(value, -99), expected) << "variant index " << value.index();
    }
}

TEST(MaxOf, LargestWithTiesKeepingTheEarlier) {
    EXPECT_EQ(k5::MaxOf({int32_t(0), int32_t(-5)}), Value(int32_t(0)));
    EXPECT_EQ(k5::MaxOf({int32_t(0), int32_t(12)}), Value(int32_t(12)));
    EXPECT_EQ(k5::MaxOf({int32_t(3), 7.5, int16_t(7)}), Value(7.5));
    // Equal numbers of different kinds: the first stays.
    EXPECT_EQ(k5::MaxOf({int32_t(5), 5.0}), Value(int32_t(5)));
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
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"/data/k5/", "/Korund5.mdb", "/data/k5/Korund5.mdb"},
        {"/data/k5", "Korund5.mdb", "/data/k5/Korund5.mdb"},
        {"/data/k5/", "Korund5.mdb", "/data/k5/Korund5.mdb"},
        {"/data/k5", "/Korund5.mdb", "/data/k5/Korund5.mdb"},
        {"", "Korund5.mdb", "Korund5.mdb"},
        {"", "/Korund5.mdb", "/Korund5.mdb"},
        {"", "", ""},
        {"/data/k5", "", "/data/k5/"},
        {"/", "tmp", "/tmp"},
    };
    for (const auto& [folder, name, joined] : cases) {
        EXPECT_EQ(k5::JoinPath(folder, name), joined) << folder << " + " << name;
    }
}

TEST(ShowWarning, OneWarningBoxWithTextAndCaption) {
    k5::ScriptedInteraction ui;
    k5::ShowWarning(ui, "Файл занят", "Внимание");
    ASSERT_EQ(ui.calls.size(), 1u);
    EXPECT_EQ(ui.calls[0].kind, "Message");
    EXPECT_EQ(ui.calls[0].text, "Файл занят");
    EXPECT_EQ(ui.calls[0].caption, "Внимание");
    EXPECT_EQ(ui.calls[0].icon, k5::BoxIcon::Warning);
}
