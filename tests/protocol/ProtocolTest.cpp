#include "common/TestEnv.h"
#include "common/CommaLocale.h"
#include "common/ScriptedInteraction.h"
#include "common/TestUtil.h"
#include "protocol/RunProtocol.h"
#include "protocol/RunState.h"
#include "support/Error.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

using namespace k5;
using k5test::ReadAll;

namespace {

const std::string kStamp = "2021.03.15 09:05:07: ";

// The pane's text with "<colour>" or "<colour b>" wherever the look changes; line breaks
// are left out of the looks.
std::string Looks(const RichPane& pane) {
    std::string out;
    uint32_t colour = kColourBlack;
    bool bold = false;
    for (const RichPane::Run& r : pane.Runs()) {
        const std::string text = QString::fromStdU16String(r.text).toStdString();
        if (text.find_first_not_of("\r\n") != std::string::npos && (r.colour != colour || r.bold != bold))
            out += "<" + std::to_string(colour = r.colour) + ((bold = r.bold) ? " b>" : ">");
        out += text;
    }
    return out;
}

struct ProtocolFixture : ::testing::Test {
    RunState state;
    ScriptedInteraction ui;
    k5test::TestEnv env;
    RunProtocol log{state, ui, env};
    QTemporaryDir dir;
    ProtocolFixture() { env.protocolTime = k5test::LocalTime(2021, 3, 15, 9, 5, 7); }
};

} // namespace

TEST_F(ProtocolFixture, EntryColoursStampAndVerdictFlag) {
    log.LogAdd("Найден.", true);
    EXPECT_TRUE(state.mProphylaxisOk);
    log.LogAdd("Не найден.", false);
    log.LogAdd("Чёрная", false, kColourBlack, true); // explicit black stays black
    log.LogAdd("Успех", true, kColourGreen);
    EXPECT_FALSE(state.mProphylaxisOk) << "a later success must not set the verdict back";
    EXPECT_EQ(Looks(log.Pane()), kStamp + "Найден.\r\n" + kStamp + "<192>Не найден.\r\n<0>" + kStamp +
                                     "<0 b>Чёрная\r\n<0>" + kStamp + "<32768>Успех\r\n");
    EXPECT_EQ(ui.yields, 4) << "each entry yields once";
}

// The pane keeps one line, the text log (Windows-1251) gets the message and the closing text.
TEST_F(ProtocolFixture, BeginEndAndTheTextLog) {
    state.mLogFileTxt = dir.path().toStdString() + "/Log_test.txt";
    log.LogAddBegin("Сжатие", true);
    EXPECT_EQ(log.Pane().Text(), kStamp + "Сжатие ...");
    log.LogAddEnd(" завершено.", true);
    log.LogAddBegin("Шаг", true);
    log.LogAddEnd("", true); // removes the marker, writes nothing to the text log
    log.LogAddEnd("", true); // no marker: an empty line
    EXPECT_EQ(log.Pane().Text(), kStamp + "Сжатие завершено.\r\n" + kStamp + "Шаг\r\n\r\n");
    EXPECT_EQ(ReadAll(state.mLogFileTxt),
              kStamp + "\xD1\xE6\xE0\xF2\xE8\xE5\r\n \xE7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xEE.\r\n" + kStamp +
                  "\xD8\xE0\xE3\r\n");
}

// A value with control characters cannot forge a line or reach a terminal as a command: they
// are shown escaped, in the pane and in the text log alike; CR LF between pieces stays a break.
TEST_F(ProtocolFixture, ControlCharactersAreShownEscaped) {
    state.mLogFileTxt = dir.path().toStdString() + "/Log_test.txt";
    log.LogAdd("a\nb\rc\td\x1b[31me\x7f\r\nline two", true);
    log.LogAddBegin("x\n", true);
    log.LogAddEnd(" y\r", true);
    const std::string shown = "a\\nb\\rc\\td\\x1B[31me\\x7F\r\nline two";
    EXPECT_EQ(log.Pane().Text(), kStamp + shown + "\r\n" + kStamp + "x\\n y\\r\r\n");
    EXPECT_EQ(ReadAll(state.mLogFileTxt), shown + "\r\n" + kStamp + "x\\n\r\n y\\r\r\n");
}


TEST_F(ProtocolFixture, RtfLogReadByAnIndependentReader) {
    if (k5test::Shell("command -v unrtf").empty()) GTEST_SKIP() << "unrtf is not installed";
    const std::pair<const char*, uint32_t> entries[] = {{"Ошибка {фигурные} \\ скобки", 0},
                                                        {"Профилактика завершена.", kColourGreen},
                                                        {"Размер не определён", kColourRed},
                                                        {"Об утилите", kColourMagenta}};
    for (const auto& [text, colour] : entries)
        log.LogAdd(text, colour != 0, colour ? std::optional(colour) : std::nullopt, colour == kColourGreen);
    const std::string path = dir.path().toStdString() + "/Log.rtf";
    log.Pane().SaveRtf(path);

    const std::string html =
        k5test::DecodeHtmlEntities(k5test::Shell("unrtf --html '" + path + "' 2>/dev/null"));
    for (const auto& [text, colour] : entries)
        EXPECT_NE(html.find(text), std::string::npos) << text;
    for (const char* colour : {"#c00000", "#008000", "#ff0000", "#ff00ff"})
        EXPECT_NE(html.find(colour), std::string::npos) << colour;
    EXPECT_LT(html.find("<b>"), html.find("Профилактика завершена."));
    EXPECT_EQ(html.find("<b>", html.find("Размер")), std::string::npos) << "only one entry is bold";
}

// Into a missing folder the text log fails silently; saving the RTF log raises with its location.
TEST_F(ProtocolFixture, MissingFolderSilentForTheTextLogRaisesForTheRtfLog) {
    state.mLogFileTxt = dir.path().toStdString() + "/нет/папки/Log.txt";
    log.LogAdd("папки нет", false);
    EXPECT_EQ(log.Pane().Text(), kStamp + "папки нет\r\n");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(state.mLogFileTxt)));
    try {
        log.Pane().SaveRtf(dir.path().toStdString() + "/нет/Log.rtf");
        ADD_FAILURE() << "expected an error";
    } catch (const K5Error& e) {
        EXPECT_EQ(e.Description().rfind("[K5VedovodeduzOR::ProphylaxisFrm.SaveRtf]", 0), 0u)
            << e.Description();
    }
}

TEST_F(ProtocolFixture, StopPollYieldsThenReadsTheFlag) {
    ui.onYield = [&] { state.mStopRequested = true; };
    EXPECT_TRUE(log.GlobalStop()) << "a click processed during the yield is seen at once";
}

#if K5_ASSERTS
// The protocol and the user belong to the thread that made them: a call from another
// thread aborts wherever the invariant checks are compiled in (every build with the tests).
TEST(OwnerThreadDeathTest, CallsFromAnotherThreadAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RunState state;
    ScriptedInteraction ui;
    RunProtocol log(state, ui);
    EXPECT_DEATH(std::thread([&] { log.LogAdd("x", true); }).join(), "assertion failed: mOwner.IsCurrent");
    EXPECT_DEATH(std::thread([&] { ui.ShowMessage("x", "y", BoxIcon::None); }).join(),
                 "assertion failed: OnOwnerThread");
}
#endif

TEST(RunStateHelpers, GroupsAndStamps) {
    EXPECT_EQ(ThisFotmat3(999), "999");
    EXPECT_EQ(ThisFotmat3(2147483647), "2 147 483 647");
    EXPECT_EQ(RunStampAt(2021, 3, 15, 9, 5, 7), "2021г03м15д09ч05м07с");
}

// The limit field reads the same under the C locale and under one with a comma decimal mark
// (as the window's application object sets it from the environment).
TEST(RunStateHelpers, LimitsUnderAnyLocale) {
    const std::pair<const char*, int32_t> limits[] = {
        {" 12 ", 12},      {"", 0},    {"-5", 0},  {"12abc", 0}, {"2147483647", 2147483647},
        {"2147483648", 0}, {"2.5", 2}, {"3.5", 4}, {"12.5", 12}, {"12,5", 12},
        {"0x10", 0},       {"inf", 0}};
    for (const bool comma : {false, true}) {
        SCOPED_TRACE(comma ? "comma locale" : "C locale");
        std::optional<k5test::CommaLocale> locale;
        if (comma && !locale.emplace().Active()) GTEST_SKIP() << "no locale with a comma decimal mark";
        for (const auto& [text, value] : limits)
            EXPECT_EQ(NormalizeLimit(text), value) << "'" << text << "'";
    }
}
