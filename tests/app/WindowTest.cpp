// The main window and the About window under the offscreen platform, driven through their
// controls with a scripted user.
#include "app/AboutFrm.h"
#include "app/ProphylaxisFrm.h"
#include "app/WindowUtil.h"
#include "common/TestUtil.h"
#include "maintenance/RunStart.h"
#include "support/Common.h"
#include "support/ScriptedInteraction.h"

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace k5;
namespace fs = std::filesystem;

namespace {

// Settings and trash of this test program live in a scratch folder, set before Qt reads
// the environment.
const std::string& Scratch() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/k5_app_test_XXXXXX";
        std::string d = mkdtemp(tmpl);
        fs::create_directories(d + "/etc/Seltaris");
        fs::create_directories(d + "/data");
        setenv("XDG_CONFIG_DIRS", (d + "/etc").c_str(), 1);
        setenv("XDG_DATA_HOME", (d + "/data").c_str(), 1);
        return d;
    }();
    return dir;
}
const bool kScratchReady = !Scratch().empty();

void WriteSettings(const std::string& body) {
    std::ofstream(Scratch() + "/etc/Seltaris/Korund5.conf", std::ios::trunc) << body;
}

std::string T(const QString& s) {
    return s.toStdString();
}

uint32_t ToRgb(const QColor& c) {
    return static_cast<uint32_t>(c.red()) | (static_cast<uint32_t>(c.green()) << 8) |
           (static_cast<uint32_t>(c.blue()) << 16);
}

// One character of a pane with its look; line breaks are left out because the document
// keeps them as paragraph breaks without a colour of their own.
struct Styled {
    char16_t ch;
    uint32_t colour;
    bool bold;
    bool operator==(const Styled&) const = default;
};

std::vector<Styled> ModelChars(const RichPane& pane) {
    std::vector<Styled> out;
    for (const RichPane::Run& r : pane.Runs())
        for (char16_t c : r.text)
            if (c != u'\r' && c != u'\n') out.push_back({c, r.colour, r.bold});
    return out;
}

std::vector<Styled> DocumentChars(const QTextDocument* doc) {
    std::vector<Styled> out;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            const QTextCharFormat fmt = f.charFormat();
            for (QChar c : f.text())
                out.push_back(
                    {c.unicode(), ToRgb(fmt.foreground().color()), fmt.fontWeight() >= QFont::Bold});
        }
    return out;
}

// The model's text as the document shows it: every CR LF (or lone CR or LF) is one break.
QString ModelAsPlainText(const RichPane& pane) {
    QString s = QString::fromStdString(pane.Text());
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QChar('\r'), QChar('\n'));
    return s;
}

void ExpectMirrors(ProphylaxisFrm& frm) {
    const RichPane& pane = frm.Protocol().Pane();
    EXPECT_EQ(T(frm.RichTextBox1->document()->toPlainText()), T(ModelAsPlainText(pane)));
    EXPECT_TRUE(DocumentChars(frm.RichTextBox1->document()) == ModelChars(pane));
}

struct Window {
    ScriptedInteraction ui;
    ProphylaxisFrm frm{&ui};
};

// Enabled controls as text: "Выполнить", "Выход", "Протоколы", "Об утилите", the limit
// field, "Отмена".
std::string States(const ProphylaxisFrm& f) {
    std::string out;
    for (const QWidget* c :
         std::initializer_list<const QWidget*>{f.theCmdStart, f.theCmdExit, f.theCmdProtocols, f.theCmdAbout,
                                               f.theLimitMessages, f.theCmdCancel})
        out += c->isEnabled() ? '1' : '0';
    return out;
}
const std::string kIdle = "111110", kBusy = "000001", kUnwinding = "001110";

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteSettings("");
        savedPause = gRunStampPause;
    }
    void TearDown() override { gRunStampPause = savedPause; }
    std::function<void(MaintenanceContext&)> savedPause;
};

TEST_F(WindowTest, ControlsAtCreation) {
    Window w;
    ProphylaxisFrm& f = w.frm;
    EXPECT_EQ(T(f.windowTitle()), "Профилактика базы данных Корунд-5W.");
    struct Expect {
        const char* name;
        const char* kind;
        const char* text;
    };
    const Expect controls[] = {
        {"Label1", "QLabel", "Профилактика базы данных программы Корунд-5W"},
        {"Frame1", "QGroupBox", "Параметры: "},
        {"Label3", "QLabel", "Путь к папке с БД:"},
        {"Text2", "QLineEdit", ""},
        {"Label4", "QLabel", "Максимальное количество сообщений об ошибках для каждой таблицы:"},
        {"theLimitMessages", "QLineEdit", ""},
        {"Label5", "QLabel", "( 0 - без ограничения )"},
        {"theRemoveOrphaned", "QCheckBox", "В таблицах удалять недоступные записи"},
        {"theClearPfrErrors", "QCheckBox", "Очистить результаты проверок документов персучета"},
        {"theRemoveOrphanedBigDocs", "QCheckBox", "В подкаталоге \\BigDocs\\ удалять недоступные файлы"},
        {"theCompactBigDocs", "QCheckBox", "Сжимать файлы в подкаталоге \\BigDocs\\"},
        {"theZipAndRename", "QCheckBox",
         "Архивировать и переименовать Korund5.mdb независимо от результата профилактики"},
        {"Label2", "QLabel", "Протокол:"},
        {"RichTextBox1", "QTextEdit", ""},
        {"theCmdStart", "QPushButton", "Выполнить"},
        {"theCmdCancel", "QPushButton", "Отмена"},
        {"theCmdProtocols", "QPushButton", "Протоколы"},
        {"theCmdExit", "QPushButton", "Выход"},
        {"theCmdAbout", "QPushButton", "Об утилите"},
    };
    for (const Expect& e : controls) {
        SCOPED_TRACE(e.name);
        QWidget* c = f.findChild<QWidget*>(QString::fromLatin1(e.name));
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(c->inherits(e.kind)) << c->metaObject()->className();
        QString text;
        if (auto* l = qobject_cast<QLabel*>(c)) text = l->text();
        if (auto* g = qobject_cast<QGroupBox*>(c)) text = g->title();
        if (auto* le = qobject_cast<QLineEdit*>(c)) text = le->text();
        if (auto* b = qobject_cast<QAbstractButton*>(c)) text = b->text();
        if (auto* te = qobject_cast<QTextEdit*>(c)) text = te->toPlainText();
        EXPECT_EQ(T(text), e.text);
        if (auto* cb = qobject_cast<QCheckBox*>(c)) {
            EXPECT_EQ(cb->checkState(), Qt::Unchecked);
        }
    }
    // The options group holds the options; the replacement box sits in the button row.
    for (QWidget* inFrame :
         {static_cast<QWidget*>(f.Text2), static_cast<QWidget*>(f.theLimitMessages),
          static_cast<QWidget*>(f.theRemoveOrphaned), static_cast<QWidget*>(f.theCompactBigDocs)})
        EXPECT_EQ(inFrame->parentWidget(), f.Frame1);
    EXPECT_EQ(f.theZipAndRename->parentWidget(), &f);
    EXPECT_EQ(T(f.theCmdProtocols->toolTip()), "Показать папку с файлами протоколов");
    EXPECT_TRUE(f.RichTextBox1->isReadOnly());
    // The folder field has the button face for its background.
    EXPECT_EQ(f.Text2->palette().color(QPalette::Base), f.Text2->palette().color(QPalette::Button));
    EXPECT_EQ(States(f), kIdle);
}

// Busy (and no close) during the pass, idle after; with no folder setting the pass fails in
// the pane only, and "Выход" then closes without a question.
TEST_F(WindowTest, StartUpCheckPassIsBusyThenIdleAndWritesNoFile) {
    Window w;
    w.frm.show();
    std::vector<std::string> during;
    w.ui.onYield = [&] { during.push_back(States(w.frm) + (w.frm.close() ? "closed" : "")); };
    w.frm.Form_Initialize();
    w.ui.onYield = nullptr;
    ASSERT_FALSE(during.empty());
    for (const std::string& s : during)
        EXPECT_EQ(s, kBusy);
    EXPECT_EQ(States(w.frm), kIdle);
    EXPECT_EQ(T(w.frm.windowTitle()), " Профилактика базы данных Корунд-5W. Версия " + GetVersion() + ".");
    EXPECT_EQ(T(w.frm.theLimitMessages->text()), "0");
    EXPECT_FALSE(w.frm.State().mProphylaxisOk);
    EXPECT_TRUE(w.frm.RichTextBox1->toPlainText().contains(
        QStringLiteral("В настройках программы отсутствует информация о расположении базы данных.")));
    EXPECT_TRUE(w.frm.State().mLogFileTxt.empty());
    ExpectMirrors(w.frm);
    EXPECT_TRUE(w.ui.calls.empty());
    w.frm.theCmdExit->click();
    EXPECT_FALSE(w.frm.isVisible());
    EXPECT_TRUE(w.ui.calls.empty());
}

TEST_F(WindowTest, LimitFieldNormalisesOnLeavingAndSelectsOnEntering) {
    Window w;
    ProphylaxisFrm& f = w.frm;
    const std::pair<const char*, const char*> cases[] = {
        {" 12 ", "12"}, {"99999999999", "0"},         {"текст", "0"}, {"-5", "0"},
        {"", "0"},      {"2147483647", "2147483647"},
    };
    for (const auto& [typed, shown] : cases) {
        SCOPED_TRACE(typed);
        f.theLimitMessages->setText(QString::fromUtf8(typed));
        const int64_t yieldsBefore = w.ui.yields;
        QFocusEvent in(QEvent::FocusIn, Qt::MouseFocusReason);
        QApplication::sendEvent(f.theLimitMessages, &in);
        EXPECT_EQ(T(f.theLimitMessages->selectedText()), typed);
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(f.theLimitMessages, &out);
        EXPECT_EQ(T(f.theLimitMessages->text()), shown);
        EXPECT_EQ(std::to_string(f.State().mMaxErrorMessages), shown);
        EXPECT_EQ(w.ui.yields - yieldsBefore, 2);
    }
}

TEST_F(WindowTest, CancelAskedAndAnsweredNoThenYes) {
    Window w;
    ProphylaxisFrm& f = w.frm;
    int step = 0;
    std::vector<std::string> afterYes;
    bool closeDuringUnwinding = true, secondStartRefused = true;
    w.ui.onYield = [&] {
        ++step;
        if (step == 1) {
            w.ui.QueueAnswer(Answer::No);
            f.theCmdCancel->click();
            EXPECT_FALSE(f.State().mStopRequested);
            EXPECT_EQ(States(f), kBusy);
        } else if (step == 2) {
            w.ui.QueueAnswer(Answer::Yes);
            f.theCmdCancel->click();
            EXPECT_TRUE(f.State().mStopRequested);
        } else {
            // Idle controls while the stopped work unwinds, but no second start or close.
            afterYes.push_back(States(f));
            closeDuringUnwinding = closeDuringUnwinding && !f.close();
            // A second start from the stack of the first does nothing.
            const int64_t paneBefore = f.Protocol().Pane().Length();
            f.theCmdStart_Click();
            secondStartRefused =
                secondStartRefused && f.Protocol().Pane().Length() == paneBefore && f.RunActive();
        }
    };
    f.show();
    f.Form_Initialize();
    ASSERT_GE(step, 3);
    ASSERT_EQ(w.ui.calls.size(), 2u);
    for (const auto& c : w.ui.calls) {
        EXPECT_EQ(c.kind, "YesNo");
        EXPECT_EQ(c.text, "Отменить профилактику БД?");
        EXPECT_EQ(c.caption, "Профилактика базы данных Корунд-5W.");
        EXPECT_EQ(c.icon, BoxIcon::Question);
    }
    for (const std::string& s : afterYes)
        EXPECT_EQ(s, kUnwinding);
    EXPECT_TRUE(closeDuringUnwinding);
    EXPECT_TRUE(secondStartRefused);
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.RunActive());
    EXPECT_EQ(States(f), kIdle);
}

TEST_F(WindowTest, ExitAfterSuccessfulPassAsks) {
    const std::string root = Scratch() + "/k5w";
    fs::create_directories(root);
    WriteSettings("[General]\nRootPath=" + root + "\n");
    const std::string program = root + "/K5W.exe",
                      missing = "Файл " + program + " не найден на этом компьютере.";
    // The answer, whether the program is there, whether the window stays, the calls after the question.
    const std::tuple<Answer, bool, bool, std::string> cases[] = {
        {Answer::Cancel, true, true, ""},
        {Answer::No, true, false, ""},
        {Answer::Yes, true, false, "Start " + program},
        {Answer::Yes, false, false, "Message " + missing + " (i)"},
    };
    for (const auto& [answer, programThere, staysOpen, after] : cases) {
        SCOPED_TRACE(after);
        if (programThere)
            std::ofstream(program) << "#!/bin/sh\n";
        else
            fs::remove(program);
        Window w;
        w.frm.show();
        w.frm.State().mProphylaxisOk = true;
        w.ui.QueueAnswer(answer);
        w.frm.theCmdExit->click();
        ASSERT_GE(w.ui.calls.size(), 1u);
        EXPECT_EQ(w.ui.calls[0].kind, "YesNoCancel");
        EXPECT_EQ(w.ui.calls[0].text, "Запустить Корунд-5W?");
        EXPECT_EQ(w.ui.calls[0].caption, T(w.frm.windowTitle()));
        EXPECT_EQ(w.ui.calls[0].icon, BoxIcon::Information);
        EXPECT_EQ(w.frm.isVisible(), staysOpen);
        std::string got;
        for (size_t k = 1; k < w.ui.calls.size(); ++k)
            got +=
                w.ui.calls[k].kind + " " + w.ui.calls[k].text +
                (w.ui.calls[k].kind == "Message" && w.ui.calls[k].icon == BoxIcon::Information ? " (i)" : "");
        EXPECT_EQ(got, after);
    }
}

TEST_F(WindowTest, ProtocolsShowsFolderBeforeAnyRunAndTheLogAfter) {
    const std::string db = Scratch() + "/proto/";
    fs::create_directories(db + "Профилактика_БД");
    Window w;
    w.frm.State().mDataBaseFolder = db;
    w.frm.theCmdProtocols->click();
    w.frm.State().mLogFileRtf = db + "Профилактика_БД/Log_x.rtf";
    w.frm.theCmdProtocols->click(); // named but not written yet: still the folder
    std::ofstream(w.frm.State().mLogFileRtf) << "{\\rtf1}";
    w.frm.theCmdProtocols->click();
    ASSERT_EQ(w.ui.calls.size(), 3u);
    EXPECT_EQ(w.ui.calls[0].text, db + "Профилактика_БД/");
    EXPECT_EQ(w.ui.calls[0].caption, "folder");
    EXPECT_EQ(w.ui.calls[1].caption, "folder");
    EXPECT_EQ(w.ui.calls[2].text, w.frm.State().mLogFileRtf);
    EXPECT_EQ(w.ui.calls[2].caption, "select");
}

TEST_F(WindowTest, FailureAtRunIsShownWithLocationLinesAndWindowReturnsToIdle) {
    // A folder that does not exist: the pass fails and the RTF log cannot be saved.
    gRunStampPause = [](MaintenanceContext&) {};
    Window w;
    w.frm.Form_Initialize();
    w.frm.show();
    w.frm.Text2->setText(QString::fromStdString(Scratch() + "/нет такой папки"));
    w.frm.theCmdStart->click();
    ASSERT_EQ(w.ui.calls.size(), 1u);
    const auto& box = w.ui.calls[0];
    EXPECT_EQ(box.kind, "Message");
    EXPECT_EQ(box.icon, BoxIcon::Critical);
    EXPECT_EQ(box.text.rfind("Ошибка ", 0), 0u) << box.text;
    const size_t outer = box.text.find("[K5VedovodeduzOR::ProphylaxisFrm.theCmdStart_Click]");
    const size_t inner = box.text.find("[K5VedovodeduzOR::ProphylaxisFrm.StartRun]");
    ASSERT_NE(outer, std::string::npos) << box.text;
    ASSERT_NE(inner, std::string::npos) << box.text;
    EXPECT_LT(outer, inner);
    EXPECT_EQ(States(w.frm), kIdle);
    EXPECT_FALSE(w.frm.RunActive());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(w.frm.close());
}

// Opened by its button: modal, owned by the window.
TEST_F(WindowTest, AboutWindowCaptionTextsColoursAndWeights) {
    Window w;
    w.frm.show();
    QWidget* owner = nullptr;
    QTimer::singleShot(0, [&] {
        if (auto* a = qobject_cast<AboutFrm*>(QApplication::activeModalWidget())) {
            owner = a->parentWidget();
            a->theCmdClose->click();
        }
    });
    w.frm.theCmdAbout->click();
    EXPECT_EQ(owner, &w.frm);
    EXPECT_TRUE(w.ui.calls.empty());

    AboutFrm about(w.ui);
    EXPECT_EQ(T(about.windowTitle()),
              " Об утилите: Профилактика базы данных Корунд-5W. Версия " + GetVersion() + ".");
    EXPECT_TRUE(about.isModal());
    EXPECT_EQ(T(about.theCmdClose->text()), "Закрыть");
    const QTextDocument* doc = about.theRTBox->document();
    // 36 texts, 34 of them with a line end: 35 lines, the last without an end.
    EXPECT_EQ(doc->blockCount(), 35);
    EXPECT_EQ(T(doc->lastBlock().text()), "    свободного места, чем занимает сам файл БД.");

    std::vector<std::string> bold;
    std::vector<std::string> coloured;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment fr = it.fragment();
            if (fr.charFormat().fontWeight() >= QFont::Bold) bold.push_back(T(fr.text()));
            if (ToRgb(fr.charFormat().foreground().color()) != kColourBlack) coloured.push_back(T(fr.text()));
        }
    EXPECT_EQ(bold, (std::vector<std::string>{"Назначение утилиты:", "Внимание!",
                                              "Как работает утилита:", "Условия работы утилиты:"}));
    EXPECT_EQ(coloured, (std::vector<std::string>{"Внимание!"}));

    // "Внимание!" in magenta, and the next text continues its line in black.
    const QTextBlock warning = doc->findBlock(doc->toPlainText().indexOf(QStringLiteral("Внимание!")));
    EXPECT_EQ(T(warning.text()),
              "Внимание! При одновременной работе нескольких пользователей в программе Корунд-5W "
              "в локальной сети,");
    auto it = warning.begin();
    EXPECT_EQ(ToRgb(it.fragment().charFormat().foreground().color()), kColourMagenta);
    ++it;
    ASSERT_FALSE(it.atEnd());
    EXPECT_EQ(ToRgb(it.fragment().charFormat().foreground().color()), kColourBlack);

    const QString plain = doc->toPlainText();
    EXPECT_TRUE(
        plain.contains(QStringLiteral("накопившегося \"мусора\" (данных, которые были удалены) и т.п..")));
    EXPECT_TRUE(plain.contains(QStringLiteral("в подпапке \\Профилактика_БД\\ папки БД делается")));
    EXPECT_EQ(plain.count(QStringLiteral("\n\n")), 4); // the four empty rows
}

#ifdef K5_DEMO_TOOL
// A tiny demo folder, made afresh.
std::string MakeDemo(const std::string& name) {
    const std::string folder = Scratch() + "/" + name;
    fs::remove_all(folder);
    int code = -1;
    const std::string out = k5test::Shell(
        k5test::Quote(K5_DEMO_TOOL) + " " + k5test::Quote(folder) + " --scale tiny --seed 1 2>&1", &code);
    EXPECT_EQ(code, 0) << out;
    return folder;
}

TEST_F(WindowTest, WholeRunOnTinyDemoThroughTheButtons) {
    const std::string folder = MakeDemo("demo-run");
    WriteSettings("[General]\nDataBasePath=" + folder + "\n");
    Window w;
    ProphylaxisFrm& f = w.frm;
    f.Form_Initialize();
    f.show();
    EXPECT_TRUE(f.State().mProphylaxisOk);
    EXPECT_TRUE(f.RichTextBox1->toPlainText().endsWith(
        QStringLiteral("Можно запускать процесс профилактики базы данных.\n")));
    EXPECT_EQ(T(f.Text2->text()), folder + "/");
    EXPECT_FALSE(fs::exists(folder + "/Профилактика_БД") && !fs::is_empty(folder + "/Профилактика_БД"));

    f.theRemoveOrphaned->setChecked(true);
    f.theLimitMessages->setText(QStringLiteral(" 5 "));
    std::vector<std::string> during;
    w.ui.onYield = [&] { during.push_back(States(f)); };
    f.theCmdStart->click();
    w.ui.onYield = nullptr;

    ASSERT_FALSE(during.empty());
    for (const std::string& s : during)
        EXPECT_EQ(s, kBusy);
    EXPECT_EQ(States(f), kIdle);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    for (const auto& c : w.ui.calls)
        EXPECT_NE(c.kind, "Message") << c.text;
    EXPECT_EQ(T(f.theLimitMessages->text()), "5");
    const QString plain = f.RichTextBox1->toPlainText();
    EXPECT_TRUE(plain.contains(QStringLiteral("   В таблицах удалять недоступные записи: Да")));
    EXPECT_FALSE(plain.contains(QStringLiteral(" ..."))); // every begun line was ended in place
    ExpectMirrors(f);

    // The RTF log is the pane saved, colours and weights with it.
    const std::string rtf = f.State().mLogFileRtf;
    ASSERT_TRUE(fs::exists(rtf)) << rtf;
    EXPECT_EQ(k5test::ReadAll(rtf), f.Protocol().Pane().ToRtf());
    EXPECT_TRUE(fs::exists(f.State().mLogFileTxt));

    f.theCmdProtocols->click();
    ASSERT_FALSE(w.ui.calls.empty());
    EXPECT_EQ(w.ui.calls.back().kind, "Show");
    EXPECT_EQ(w.ui.calls.back().text, rtf);
    EXPECT_EQ(w.ui.calls.back().caption, "select");
}

#endif

class LayoutTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        f.show();
        QApplication::processEvents();
    }
    ScriptedInteraction ui;
    ProphylaxisFrm f{&ui};
    QWidget* rightButtons[4] = {f.theCmdStart, f.theCmdProtocols, f.theCmdCancel, f.theCmdExit};

    int ClientW() { return f.PixelsToTwipsX(f.width()); }
    int ClientH() { return f.PixelsToTwipsY(f.height()); }
    void ExpectPixelsFollowTwips() {
        for (QWidget* c : f.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (f.Twips(c).width == 0) continue;
            const TwipsRect t = f.Twips(c);
            EXPECT_EQ(c->geometry(), QRect(f.TwipsToPixelsX(t.left), f.TwipsToPixelsY(t.top),
                                           f.TwipsToPixelsX(t.width), f.TwipsToPixelsY(t.height)))
                << T(c->objectName());
        }
    }
    void ExpectRules() {
        const int cw = ClientW(), ch = ClientH();
        EXPECT_EQ(f.Twips(f.Label1).width, cw);
        EXPECT_EQ(f.Twips(f.Frame1).width, cw - 240);
        EXPECT_EQ(f.Twips(f.Text2).width, f.Twips(f.Frame1).width - 1725 - 60);
        const TwipsRect pane = f.Twips(f.RichTextBox1);
        EXPECT_EQ(pane.top, 2835);
        EXPECT_EQ(pane.height, ch - 2835 - 750);
        EXPECT_EQ(pane.width, cw - 210);
        EXPECT_EQ(f.Twips(f.theCmdAbout).left, 300);
        EXPECT_EQ(f.Twips(f.theCmdAbout).top, ch - 570 - 90);
        EXPECT_EQ(f.Twips(f.theCmdExit).left + f.Twips(f.theCmdExit).width, cw - 300);
        for (int i = 1; i < 4; ++i) {
            const TwipsRect a = f.Twips(rightButtons[i - 1]), b = f.Twips(rightButtons[i]);
            EXPECT_EQ(a.left + a.width + 200, b.left);
            EXPECT_EQ(b.top, f.Twips(f.theCmdAbout).top);
        }
        const TwipsRect box = f.Twips(f.theZipAndRename);
        EXPECT_EQ(box.left, 300 + 1230 + 200);
        EXPECT_EQ(box.top, f.Twips(f.theCmdAbout).top + (570 - 285) / 2);
        // The progress line stays between "Протокол:" and the pane.
        const TwipsRect bar = f.Twips(f.theProgressBar), text = f.Twips(f.theProgressText);
        EXPECT_GE(text.left, f.Twips(f.Label2).left + f.Twips(f.Label2).width);
        EXPECT_LE(text.left + text.width, bar.left);
        EXPECT_LE(bar.top + bar.height, pane.top);
        EXPECT_EQ(bar.left + bar.width, pane.left + pane.width);
        ExpectPixelsFollowTwips();
    }
};

// At the start size, shrunk below the minimum, widened, and minimised.
TEST_F(LayoutTest, RulesHoldWhateverTheSize) {
    ExpectRules();
    f.resize(50, 40);
    QApplication::processEvents();
    // The outer size, frame included, springs back to the minimum.
    EXPECT_NEAR(f.PixelsToTwipsX(f.frameGeometry().width()), ProphylaxisFrm::kMinWidthTwips, 15);
    EXPECT_NEAR(f.PixelsToTwipsY(f.frameGeometry().height()), ProphylaxisFrm::kMinHeightTwips, 15);
    ExpectRules();

    std::map<QWidget*, QRect> before;
    for (QWidget* c : f.findChildren<QWidget*>())
        before[c] = c->geometry();
    std::vector<int> lefts;
    for (QWidget* b : rightButtons)
        lefts.push_back(f.Twips(b).left);
    const int cwBefore = ClientW();
    f.resize(f.width() + f.TwipsToPixelsX(3000), f.height());
    QApplication::processEvents();
    const int delta = ClientW() - cwBefore;
    EXPECT_NEAR(delta, 3000, 15);
    for (int i = 0; i < 4; ++i) // the right buttons move together, the rest of the row stays
        EXPECT_EQ(f.Twips(rightButtons[i]).left, lefts[i] + delta);
    EXPECT_EQ(f.theCmdAbout->geometry(), before[f.theCmdAbout]);
    EXPECT_EQ(f.theZipAndRename->geometry(), before[f.theZipAndRename]);
    ExpectRules();

    for (QWidget* c : f.findChildren<QWidget*>())
        before[c] = c->geometry();
    f.showMinimized();
    QApplication::processEvents();
    f.Form_Resize();
    for (auto& [c, g] : before)
        EXPECT_EQ(c->geometry(), g) << T(c->objectName());
    EXPECT_TRUE(ui.calls.empty());
    f.showNormal();
    QApplication::processEvents();
    ExpectRules();
}

} // namespace
