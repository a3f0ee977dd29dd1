// The window's user: Russian message boxes with their icons, the throttled event-loop yields
// and the progress indicator feed.
#include "app/QtInteraction.h"
#include "app/ProphylaxisFrm.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <gtest/gtest.h>
#include <thread>

using namespace k5;
using namespace std::chrono_literals;

namespace {

// The next modal box as "<sorted buttons> <icon> <title>: <text>"; its button `press` is pressed.
std::string gBoxSeen;
void AnswerNextBox(const char* press) {
    gBoxSeen.clear();
    QTimer::singleShot(0, [press] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        QStringList buttons;
        for (QAbstractButton* b : box->buttons())
            buttons << b->text();
        buttons.sort(); // the box lays them out in the platform's order
        gBoxSeen = (buttons.join('/') + " " + QString::number(box->icon()) + " " + box->windowTitle() + ": " +
                    box->text())
                       .toStdString();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QString::fromUtf8(press)) b->click();
    });
}

TEST(QtInteractionTest, BoxesHaveRussianButtonsAndTheNamedIcons) {
    QtInteraction ui;
    for (const auto& [press, yes] : {std::pair{"Да", true}, {"Нет", false}}) {
        AnswerNextBox(press);
        EXPECT_EQ(ui.AskYesNo("Отменить?", "Заголовок", BoxIcon::Question), yes);
        EXPECT_EQ(gBoxSeen, "Да/Нет 4 Заголовок: Отменить?"); // 4: question mark
    }
    for (const auto& [press, answer] :
         {std::pair{"Да", Answer::Yes}, {"Нет", Answer::No}, {"Отмена", Answer::Cancel}}) {
        AnswerNextBox(press);
        EXPECT_EQ(ui.AskYesNoCancel("Запустить?", "t", BoxIcon::Information), answer);
        EXPECT_EQ(gBoxSeen, "Да/Нет/Отмена 1 t: Запустить?"); // 1: information
    }
    AnswerNextBox("OK");
    ui.ShowMessage("строка 1\r\nстрока 2", "t", BoxIcon::Warning);
    EXPECT_EQ(gBoxSeen, "OK 2 t: строка 1\nстрока 2"); // 2: warning
}

TEST(QtInteractionTest, InputBoxGivesTextOrNothing) {
    QtInteraction ui;
    QStringList buttons;
    auto answer = [&](bool ok) {
        QTimer::singleShot(0, [&buttons, ok] {
            auto* dlg = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            if (!dlg) return;
            buttons = QStringList{dlg->okButtonText(), dlg->cancelButtonText()};
            dlg->setTextValue(QStringLiteral("пароль"));
            ok ? dlg->accept() : dlg->reject();
        });
    };
    answer(true);
    EXPECT_EQ(ui.InputBox("Введите пароль", "Архив", "").value_or("-"), "пароль");
    EXPECT_EQ(buttons, (QStringList{QStringLiteral("OK"), QStringLiteral("Отмена")}));
    answer(false);
    EXPECT_FALSE(ui.InputBox("Введите пароль", "Архив", "").has_value());
}

TEST(QtInteractionTest, YieldServesTheLoopAtMostEvery5msAndMeasuresTheGap) {
    QtInteraction ui;
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    ui.ResetGapMeasure();
    ui.YieldOnce(); // right after a pass: the loop waits for the next 5 ms
    EXPECT_FALSE(ran);
    std::this_thread::sleep_for(6ms);
    ui.YieldOnce();
    EXPECT_TRUE(ran);
    std::this_thread::sleep_for(60ms);
    ui.YieldOnce();
    EXPECT_GE(ui.LongestGap(), 60ms);
    EXPECT_LT(ui.LongestGap(), 1000ms);
}

TEST(QtInteractionTest, ProgressIsThrottledAndStillYields) {
    QtInteraction ui;
    std::vector<std::pair<std::string, int64_t>> shown;
    ui.progressSink = [&](const std::string& s, int64_t d, int64_t) { shown.emplace_back(s, d); };
    int events = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        QTimer::singleShot(0, [&] { ++events; });
        ui.Progress("Копирование", i, 1000);
    }
    std::this_thread::sleep_for(6ms);
    ui.Progress(std::string(), 100, 1000);
    EXPECT_EQ(events, 100);
    // The first call shows (new step); after it, at most one per 30 ms.
    ASSERT_GE(shown.size(), 1u);
    EXPECT_LE(shown.size(), 1u + static_cast<size_t>((std::chrono::steady_clock::now() - start) / 30ms));
    EXPECT_EQ(shown.front().first, "Копирование");
    const size_t before = shown.size();
    ui.Progress("Другой шаг", 1, 1000);    // a new step always shows
    ui.Progress("Другой шаг", 1000, 1000); // and so does a finished one
    ASSERT_EQ(shown.size(), before + 2);
    EXPECT_EQ(shown.back().second, 1000);
    std::this_thread::sleep_for(35ms);
    ui.Progress("Другой шаг", 5, 1000); // after the interval it shows again
    EXPECT_EQ(shown.size(), before + 3);
}

TEST(QtInteractionTest, WindowIndicatorFollowsProgress) {
    ProphylaxisFrm frm;
    ASSERT_NE(frm.OwnInteraction(), nullptr);
    frm.Ui().Progress("Удаление лишних записей", 3, 4);
    EXPECT_EQ(frm.theProgressText->text(), QStringLiteral("Удаление лишних записей"));
    EXPECT_EQ(frm.theProgressBar->maximum(), 1000);
    EXPECT_EQ(frm.theProgressBar->value(), 750);
    std::this_thread::sleep_for(35ms);
    frm.Ui().Progress(std::string(), 0, 0); // an engine call without a total keeps the step's name
    EXPECT_EQ(frm.theProgressText->text(), QStringLiteral("Удаление лишних записей"));
    EXPECT_EQ(frm.theProgressBar->maximum(), 0);
}

} // namespace
