// The window's user: Russian message boxes with their icons, the event-loop yields and
// their gap measure, and the progress indicator feed.
#include "app/QtInteraction.h"
#include "app/ProphylaxisFrm.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <thread>

using namespace k5;

namespace {

struct BoxSeen {
    QStringList buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title, text;
};

// Answers the next modal message box by pressing the button with `press` as its text.
void AnswerNextBox(BoxSeen& seen, const QString& press) {
    QTimer::singleShot(0, [&seen, press] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen.icon = box->icon();
        seen.title = box->windowTitle();
        seen.text = box->text();
        QAbstractButton* target = nullptr;
        for (QAbstractButton* b : box->buttons()) {
            seen.buttons << b->text();
            if (b->text() == press) target = b;
        }
        if (target) target->click();
    });
}

TEST(QtInteractionTest, BoxesHaveRussianButtonsAndTheNamedIcons) {
    QtInteraction ui;
    const QString yes = QStringLiteral("Да"), no = QStringLiteral("Нет"), cancel = QStringLiteral("Отмена");
    for (const auto& [press, expected] : {std::pair{yes, true}, std::pair{no, false}}) {
        BoxSeen seen;
        AnswerNextBox(seen, press);
        EXPECT_EQ(ui.AskYesNo("Отменить профилактику БД?", "Заголовок", BoxIcon::Question), expected);
        EXPECT_EQ(seen.buttons, (QStringList{yes, no}));
        EXPECT_EQ(seen.icon, QMessageBox::Question);
        EXPECT_EQ(seen.title, QStringLiteral("Заголовок"));
    }
    for (const auto& [press, expected] :
         {std::pair{yes, Answer::Yes}, {no, Answer::No}, {cancel, Answer::Cancel}}) {
        BoxSeen seen;
        AnswerNextBox(seen, press);
        EXPECT_EQ(ui.AskYesNoCancel("Запустить Корунд-5W?", "t", BoxIcon::Information), expected);
        seen.buttons.sort(); // the box lays them out in the platform's order
        EXPECT_EQ(seen.buttons, (QStringList{yes, no, cancel}));
        EXPECT_EQ(seen.icon, QMessageBox::Information);
    }
    BoxSeen seen;
    AnswerNextBox(seen, QStringLiteral("OK"));
    ui.ShowMessage("строка 1\r\nстрока 2", "t", BoxIcon::Warning);
    EXPECT_EQ(seen.buttons, QStringList{QStringLiteral("OK")});
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_EQ(seen.text, QStringLiteral("строка 1\nстрока 2"));
}

TEST(QtInteractionTest, InputBoxGivesTextOrNothing) {
    QtInteraction ui;
    QStringList buttons;
    auto answer = [&](bool ok, const QString& text) {
        QTimer::singleShot(0, [&buttons, ok, text] {
            auto* dlg = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            if (!dlg) return;
            buttons = QStringList{dlg->okButtonText(), dlg->cancelButtonText()};
            dlg->setTextValue(text);
            ok ? dlg->accept() : dlg->reject();
        });
    };
    answer(true, QStringLiteral("пароль"));
    EXPECT_EQ(ui.InputBox("Введите пароль", "Архив", "").value_or("-"), "пароль");
    EXPECT_EQ(buttons, (QStringList{QStringLiteral("OK"), QStringLiteral("Отмена")}));
    answer(false, QStringLiteral("x"));
    EXPECT_FALSE(ui.InputBox("Введите пароль", "Архив", "").has_value());
}

TEST(QtInteractionTest, YieldRunsPendingEventsAndMeasuresTheLongestGap) {
    QtInteraction ui;
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    ui.ResetGapMeasure();
    ui.YieldOnce(); // right after a pass: the loop waits for the next 5 ms
    EXPECT_FALSE(ran);
    std::this_thread::sleep_for(std::chrono::milliseconds(6));
    ui.YieldOnce();
    EXPECT_TRUE(ran);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    ui.YieldOnce();
    EXPECT_GE(ui.LongestGap(), std::chrono::milliseconds(60));
    EXPECT_LT(ui.LongestGap(), std::chrono::milliseconds(1000));
    ui.ResetGapMeasure();
    EXPECT_EQ(ui.LongestGap().count(), 0);
}

TEST(QtInteractionTest, ProgressIsThrottledAndStillYields) {
    QtInteraction ui;
    std::vector<std::tuple<std::string, int64_t, int64_t>> shown;
    ui.progressSink = [&](const std::string& s, int64_t d, int64_t t) { shown.emplace_back(s, d, t); };
    int events = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        QTimer::singleShot(0, [&] { ++events; });
        ui.Progress("Копирование", i, 1000);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(6));
    ui.Progress(std::string(), 100, 1000);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(events, 100);
    // The first call shows (new step); after it, at most one per 30 ms.
    ASSERT_GE(shown.size(), 1u);
    EXPECT_LE(shown.size(), 1u + static_cast<size_t>(elapsed.count() / 30));
    EXPECT_EQ(std::get<0>(shown.front()), "Копирование");
    const size_t before = shown.size();
    ui.Progress("Другой шаг", 1, 1000);    // a new step always shows
    ui.Progress("Другой шаг", 1000, 1000); // and so does a finished one
    ASSERT_EQ(shown.size(), before + 2);
    EXPECT_EQ(std::get<1>(shown.back()), 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(35));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(35));
    frm.Ui().Progress(std::string(), 0, 0); // an engine call without a total keeps the step's name
    EXPECT_EQ(frm.theProgressText->text(), QStringLiteral("Удаление лишних записей"));
    EXPECT_EQ(frm.theProgressBar->maximum(), 0);
}

} // namespace
