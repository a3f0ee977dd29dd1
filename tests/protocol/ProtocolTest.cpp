#include "common/TestUtil.h"
#include "protocol/RunProtocol.h"
#include "protocol/RunState.h"
#include "support/Error.h"
#include "support/ScriptedInteraction.h"

#include <QTemporaryDir>
#include <array>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace k5;

namespace {

using k5test::ReadAll;
using k5test::Shell;

struct ProtocolFixture : ::testing::Test {
    RunState state;
    ScriptedInteraction ui;
    RunProtocol log{state, ui};
    QTemporaryDir dir;
    ProtocolFixture() {
        log.stampSource = [] { return std::string("2021.03.15 09:05:07: "); };
    }
    std::string LogPath() const { return dir.path().toStdString() + "/Log_test.txt"; }
};

} // namespace

TEST_F(ProtocolFixture, EntryColoursStampAndVerdictFlag) {
    log.LogAdd("Файл найден.", true);
    EXPECT_TRUE(state.mProphylaxisOk);
    log.LogAdd("Файл не найден.", false);
    EXPECT_FALSE(state.mProphylaxisOk);
    log.LogAdd("Чёрная ошибка", false, kColourBlack, true);
    log.LogAdd("Успех", true, kColourGreen);
    EXPECT_FALSE(state.mProphylaxisOk) << "a later success must not set the verdict back";

    // The look of the first character of each text in the pane.
    auto lookOf = [&](const std::string& text) {
        const std::u16string all = QString::fromStdString(log.Pane().Text()).toStdU16String();
        const size_t at = all.find(QString::fromStdString(text).toStdU16String());
        size_t pos = 0;
        for (const auto& r : log.Pane().Runs()) {
            if (at < pos + r.text.size()) return std::make_pair(r.colour, r.bold);
            pos += r.text.size();
        }
        return std::make_pair(uint32_t(0xFFFFFFFF), false);
    };
    EXPECT_EQ(lookOf("Файл найден."), std::make_pair(kColourBlack, false));
    EXPECT_EQ(lookOf("Файл не найден."), std::make_pair(kColourDarkRed, false));
    EXPECT_EQ(lookOf("Чёрная ошибка"), std::make_pair(kColourBlack, true)) << "explicit black stays black";
    EXPECT_EQ(lookOf("Успех"), std::make_pair(kColourGreen, false));
    EXPECT_EQ(lookOf("2021.03.15 09:05:07: Успех"), std::make_pair(kColourBlack, false))
        << "stamp is plain black";
    EXPECT_EQ(log.Pane().Text(), "2021.03.15 09:05:07: Файл найден.\r\n"
                                 "2021.03.15 09:05:07: Файл не найден.\r\n"
                                 "2021.03.15 09:05:07: Чёрная ошибка\r\n"
                                 "2021.03.15 09:05:07: Успех\r\n");
    EXPECT_EQ(ui.yields, 4) << "each entry yields once";
}

TEST_F(ProtocolFixture, BeginAndEndShareOneLineAndTheTextLogGetsTwo) {
    state.mLogFileTxt = LogPath();
    log.LogAddBegin("Сжатие основного файла БД /db/Korund5_Prophylaxis.mdb", true);
    EXPECT_EQ(log.Pane().Text(),
              "2021.03.15 09:05:07: Сжатие основного файла БД /db/Korund5_Prophylaxis.mdb ...");
    log.LogAddEnd(" завершено успешно.", true);
    EXPECT_EQ(
        log.Pane().Text(),
        "2021.03.15 09:05:07: Сжатие основного файла БД /db/Korund5_Prophylaxis.mdb завершено успешно.\r\n");
    // Text log: stamp + message without the marker, then the closing text alone; Windows-1251.
    const std::string expected =
        "2021.03.15 09:05:07: Сжатие основного файла БД /db/Korund5_Prophylaxis.mdb\r\n"
        " завершено успешно.\r\n";
    const std::string bytes = ReadAll(LogPath());
    EXPECT_EQ(bytes.size(), QString::fromStdString(expected).size()) << "one byte per Cyrillic letter";
    EXPECT_NE(bytes.find("\xD1\xE6\xE0\xF2\xE8\xE5"), std::string::npos) << "\"Сжатие\" in Windows-1251";
}

TEST_F(ProtocolFixture, EndWithoutPendingMarkerAndEmptyMessages) {
    state.mLogFileTxt = LogPath();
    log.LogAddBegin("Шаг", true);
    log.LogAddEnd("", true); // removes the marker, ends the line, writes nothing to the text log
    EXPECT_EQ(log.Pane().Text(), "2021.03.15 09:05:07: Шаг\r\n");
    log.LogAddEnd("", true); // no marker: an empty line
    log.LogAddEnd("Параметры:", true);
    EXPECT_EQ(log.Pane().Text(), "2021.03.15 09:05:07: Шаг\r\n\r\nПараметры:\r\n");
    EXPECT_EQ(ReadAll(LogPath()), std::string("2021.03.15 09:05:07: \xD8\xE0\xE3\r\n"
                                              "\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB:\r\n"));
}

TEST_F(ProtocolFixture, TextLogFailuresAreSilent) {
    log.LogAdd("без файла", true); // empty mLogFileTxt: nothing written anywhere
    state.mLogFileTxt = dir.path().toStdString() + "/нет/папки/Log.txt";
    log.LogAdd("папки нет", false);
    EXPECT_EQ(log.Pane().Text(), "2021.03.15 09:05:07: без файла\r\n2021.03.15 09:05:07: папки нет\r\n");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(state.mLogFileTxt)));
}

TEST_F(ProtocolFixture, RtfLogReadByAnIndependentReader) {
    if (Shell("command -v unrtf").empty()) GTEST_SKIP() << "unrtf is not installed";
    log.LogAdd("Проверка файла", true);
    log.LogAdd("Ошибка {фигурные} \\ скобки", false);
    log.LogAdd("Профилактика завершена успешно.", true, kColourGreen, true);
    log.LogAdd("Размер не определён", true, kColourRed);
    log.LogAdd("Об утилите", true, kColourMagenta);
    const std::string path = dir.path().toStdString() + "/Log.rtf";
    log.Pane().SaveRtf(path);

    const std::string html = k5test::DecodeHtmlEntities(Shell("unrtf --html '" + path + "' 2>/dev/null"));
    for (const char* text :
         {"Проверка файла", "Ошибка {фигурные} \\ скобки", "Профилактика завершена успешно.",
          "Размер не определён", "Об утилите", "2021.03.15 09:05:07:"})
        EXPECT_NE(html.find(text), std::string::npos) << text;
    for (const char* colour : {"#c00000", "#008000", "#ff0000", "#ff00ff"})
        EXPECT_NE(html.find(colour), std::string::npos) << colour;
    const size_t bold = html.find("<b>");
    ASSERT_NE(bold, std::string::npos);
    EXPECT_NE(html.find("Профилактика завершена успешно.", bold), std::string::npos);
}

TEST_F(ProtocolFixture, SavingIntoAMissingFolderRaisesWithLocation) {
    log.LogAdd("x", true);
    try {
        log.Pane().SaveRtf(dir.path().toStdString() + "/нет/Log.rtf");
        FAIL() << "expected an error";
    } catch (const K5Error& e) {
        EXPECT_EQ(e.Description().rfind("[K5VedovodeduzOR::ProphylaxisFrm.SaveRtf]", 0), 0u)
            << e.Description();
    }
}

TEST_F(ProtocolFixture, StopPollYieldsThenReadsTheFlag) {
    ui.onYield = [&] { state.mStopRequested = true; };
    EXPECT_TRUE(log.GlobalStop()) << "a click processed during the yield is seen at once";
    EXPECT_EQ(ui.yields, 1);
}

TEST_F(ProtocolFixture, ListenersSeeEveryReplacement) {
    std::vector<std::tuple<int64_t, int64_t, std::string>> seen;
    log.Pane().AddListener(
        [&](int64_t s, int64_t l, const std::string& t, uint32_t, bool) { seen.emplace_back(s, l, t); });
    log.LogAddBegin("Шаг", true);
    log.LogAddEnd(" готово.", true);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], std::make_tuple(int64_t(24), int64_t(4), std::string(" готово.\r\n")));
}

TEST(RunStateHelpers, GroupsStampsAndLimits) {
    EXPECT_EQ(ThisFotmat3(0), "0");
    EXPECT_EQ(ThisFotmat3(999), "999");
    EXPECT_EQ(ThisFotmat3(1000), "1 000");
    EXPECT_EQ(ThisFotmat3(1234567), "1 234 567");
    EXPECT_EQ(ThisFotmat3(2147483647), "2 147 483 647");
    EXPECT_EQ(RunStampAt(2021, 3, 15, 9, 5, 7), "2021г03м15д09ч05м07с");
    EXPECT_EQ(RunStamp().size(), RunStampAt(2021, 3, 15, 9, 5, 7).size());

    const std::pair<const char*, int32_t> limits[] = {
        {" 12 ", 12},
        {"", 0},
        {"   ", 0},
        {"-5", 0},
        {"abc", 0},
        {"12abc", 0},
        {"2147483647", 2147483647},
        {"2147483648", 0},
        {"1e3", 1000},
        {"2.5", 2},
        {"3.5", 4},
        {"0x10", 0},
        {"inf", 0},
    };
    for (const auto& [text, value] : limits)
        EXPECT_EQ(NormalizeLimit(text), value) << "'" << text << "'";
}
