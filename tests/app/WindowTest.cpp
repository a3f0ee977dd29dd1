// The main window and the About window under the offscreen platform, driven through their
// controls with a scripted user.
#include "app/AboutFrm.h"
#include "app/ProphylaxisFrm.h"
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
#include <QTimer>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>

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

// Text with "<colour>" or "<colour b>" wherever the look changes; every line break is "\n"
// and has no look of its own.
struct Looks {
    std::string text;
    uint32_t colour = kColourBlack;
    bool bold = false;
    void Add(QString s, uint32_t c, bool b) {
        s.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QChar('\r'), QChar('\n'));
        for (; s.startsWith(QChar('\n')); s.remove(0, 1))
            text += "\n";
        if (!s.isEmpty() && (c != colour || b != bold))
            text += "<" + std::to_string(colour = c) + ((bold = b) ? " b>" : ">");
        text += T(s);
    }
    void Add(const QTextFragment& f) {
        const QColor c = f.charFormat().foreground().color();
        Add(f.text(), uint32_t(c.red()) | uint32_t(c.green()) << 8 | uint32_t(c.blue()) << 16,
            f.charFormat().fontWeight() >= QFont::Bold);
    }
};

std::string DocumentLooks(const QTextDocument* doc) {
    Looks l;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        if (b != doc->begin()) l.text += "\n";
        for (auto it = b.begin(); !it.atEnd(); ++it)
            l.Add(it.fragment());
    }
    return l.text;
}

// The pane shows the protocol's model: the same text in the same colours and weights.
void ExpectMirrors(ProphylaxisFrm& frm) {
    Looks model;
    for (const RichPane::Run& r : frm.Protocol().Pane().Runs())
        model.Add(QString::fromStdU16String(r.text), r.colour, r.bold);
    EXPECT_EQ(DocumentLooks(frm.RichTextBox1->document()), model.text);
}

struct Window {
    ScriptedInteraction ui;
    ProphylaxisFrm frm{&ui};
};

// Enabled controls: "Выполнить", "Выход", "Протоколы", "Об утилите", the limit field, "Отмена".
std::string States(const ProphylaxisFrm& f) {
    std::string out;
    for (const QWidget* c : {f.theCmdStart, f.theCmdExit, f.theCmdProtocols, f.theCmdAbout})
        out += c->isEnabled() ? '1' : '0';
    return out + (f.theLimitMessages->isEnabled() ? '1' : '0') + (f.theCmdCancel->isEnabled() ? '1' : '0');
}
const std::string kIdle = "111110", kBusy = "000001", kUnwinding = "001110";

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { WriteSettings(""); }
    void TearDown() override { gRunStampPause = savedPause; }
    std::function<void(MaintenanceContext&)> savedPause = gRunStampPause;
};

TEST_F(WindowTest, ControlsAtCreation) {
    Window w;
    ProphylaxisFrm& f = w.frm;
    EXPECT_EQ(T(f.windowTitle()), "Профилактика базы данных Корунд-5W.");
    const std::array<const char*, 3> controls[] = {
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
    for (const auto& [name, kind, text] : controls) {
        QWidget* c = f.findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(c, nullptr) << name;
        EXPECT_TRUE(c->inherits(kind)) << name;
        const char* property = c->inherits("QGroupBox")   ? "title"
                               : c->inherits("QTextEdit") ? "plainText"
                                                          : "text";
        EXPECT_EQ(T(c->property(property).toString()), text);
        EXPECT_FALSE(c->property("checked").toBool()) << name;
    }
    EXPECT_EQ(f.theCompactBigDocs->parentWidget(), f.Frame1);
    EXPECT_EQ(f.theZipAndRename->parentWidget(), &f); // in the button row
    EXPECT_EQ(T(f.theCmdProtocols->toolTip()), "Показать папку с файлами протоколов");
    EXPECT_TRUE(f.RichTextBox1->isReadOnly());
    EXPECT_EQ(f.Text2->palette().color(QPalette::Base), f.Text2->palette().color(QPalette::Button));
    EXPECT_EQ(States(f), kIdle);
}

// Busy (and no close) during the pass, idle after; with no folder setting the pass fails in
// the pane only, and "Выход" then closes without a question.
TEST_F(WindowTest, StartUpCheckPassIsBusyThenIdleAndWritesNoFile) {
    Window w;
    w.frm.show();
    std::set<std::string> during;
    w.ui.onYield = [&] { during.insert(States(w.frm) + (w.frm.close() ? " closed" : "")); };
    w.frm.Form_Initialize();
    EXPECT_EQ(during, std::set<std::string>{kBusy});
    EXPECT_EQ(States(w.frm), kIdle);
    EXPECT_EQ(T(w.frm.windowTitle()), " Профилактика базы данных Корунд-5W. Версия " + GetVersion() + ".");
    EXPECT_EQ(T(w.frm.theLimitMessages->text()), "0");
    EXPECT_TRUE(w.frm.RichTextBox1->toPlainText().contains(
        QStringLiteral("В настройках программы отсутствует информация о расположении базы данных.")));
    EXPECT_TRUE(w.frm.State().mLogFileTxt.empty());
    ExpectMirrors(w.frm);
    w.frm.theCmdExit->click();
    EXPECT_FALSE(w.frm.isVisible());
    EXPECT_TRUE(w.ui.calls.empty());
}

TEST_F(WindowTest, LimitFieldNormalisesOnLeavingAndSelectsOnEntering) {
    Window w;
    QLineEdit* field = w.frm.theLimitMessages;
    for (const auto& [typed, shown] : {std::pair{" 12 ", "12"}, {"99999999999", "0"}, {"текст", "0"}}) {
        field->setText(QString::fromUtf8(typed));
        QFocusEvent in(QEvent::FocusIn, Qt::MouseFocusReason), out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(field, &in);
        EXPECT_EQ(T(field->selectedText()), typed);
        QApplication::sendEvent(field, &out);
        EXPECT_EQ(T(field->text()), shown);
        EXPECT_EQ(std::to_string(w.frm.State().mMaxErrorMessages), shown);
    }
}

// "Отмена" answered No goes on, Yes stops; while the stopped work unwinds the window can
// neither be closed nor started a second time.
TEST_F(WindowTest, CancelAnsweredNoThenYes) {
    Window w;
    ProphylaxisFrm& f = w.frm;
    int step = 0;
    std::set<std::string> unwinding;
    w.ui.onYield = [&] {
        if (++step <= 2) {
            w.ui.QueueAnswer(step == 1 ? Answer::No : Answer::Yes);
            f.theCmdCancel->click();
            EXPECT_EQ(f.State().mStopRequested, step == 2);
            EXPECT_TRUE(step == 2 || States(f) == kBusy);
            return;
        }
        const int64_t paneBefore = f.Protocol().Pane().Length();
        f.theCmdStart_Click(); // from the stack of the first run: does nothing
        unwinding.insert(States(f) + (f.close() ? " closed" : "") +
                         (f.Protocol().Pane().Length() != paneBefore ? " started" : ""));
    };
    f.show();
    f.Form_Initialize();
    ASSERT_GE(step, 3);
    ASSERT_EQ(w.ui.calls.size(), 2u);
    for (const auto& c : w.ui.calls)
        EXPECT_EQ(c.kind + c.text + c.caption,
                  "YesNoОтменить профилактику БД?Профилактика базы данных Корунд-5W.");
    EXPECT_EQ(w.ui.calls[0].icon, BoxIcon::Question);
    EXPECT_EQ(unwinding, std::set<std::string>{kUnwinding});
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(States(f), kIdle);
}

TEST_F(WindowTest, ExitAfterSuccessfulPassAsks) {
    const std::string root = Scratch() + "/k5w", program = root + "/K5W.exe";
    fs::create_directories(root);
    WriteSettings("[General]\nRootPath=" + root + "\n");
    // The answer, whether the program is there, whether the window stays, the calls after the question.
    const std::tuple<Answer, bool, bool, std::string> cases[] = {
        {Answer::Cancel, true, true, ""},
        {Answer::No, true, false, ""},
        {Answer::Yes, true, false, "Start " + program},
        {Answer::Yes, false, false, "Message Файл " + program + " не найден на этом компьютере."},
    };
    for (const auto& [answer, programThere, staysOpen, after] : cases) {
        programThere ? void(std::ofstream(program) << "#!/bin/sh\n") : void(fs::remove(program));
        Window w;
        w.frm.show();
        w.frm.State().mProphylaxisOk = true;
        w.ui.QueueAnswer(answer);
        w.frm.theCmdExit->click();
        ASSERT_GE(w.ui.calls.size(), 1u);
        EXPECT_EQ(w.ui.calls[0].kind + " " + w.ui.calls[0].text, "YesNoCancel Запустить Корунд-5W?");
        EXPECT_EQ(w.ui.calls[0].icon, BoxIcon::Information);
        EXPECT_EQ(w.frm.isVisible(), staysOpen) << after;
        std::string got;
        for (size_t k = 1; k < w.ui.calls.size(); ++k)
            got += w.ui.calls[k].kind + " " + w.ui.calls[k].text;
        EXPECT_EQ(got, after);
    }
}

// A folder that does not exist: the pass fails and the RTF log cannot be saved. "Протоколы"
// shows the protocol folder while there is no log file.
TEST_F(WindowTest, FailureAtRunIsShownWithLocationLinesAndWindowReturnsToIdle) {
    gRunStampPause = [](MaintenanceContext&) {};
    Window w;
    w.frm.Form_Initialize();
    w.frm.show();
    const std::string db = Scratch() + "/нет такой папки/";
    w.frm.Text2->setText(QString::fromStdString(db));
    w.frm.theCmdStart->click();
    ASSERT_EQ(w.ui.calls.size(), 1u);
    const auto& box = w.ui.calls[0];
    EXPECT_EQ(box.kind + " " + box.text.substr(0, box.text.find(' ')), "Message Ошибка");
    EXPECT_EQ(box.icon, BoxIcon::Critical);
    const size_t inner = box.text.find("[K5VedovodeduzOR::ProphylaxisFrm.StartRun]");
    EXPECT_LT(box.text.find("[K5VedovodeduzOR::ProphylaxisFrm.theCmdStart_Click]"), inner) << box.text;
    EXPECT_NE(inner, std::string::npos) << box.text;
    EXPECT_EQ(States(w.frm), kIdle);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    w.frm.theCmdProtocols->click();
    EXPECT_EQ(w.ui.calls.back().caption + " " + w.ui.calls.back().text, "folder " + db + "Профилактика_БД/");
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

    AboutFrm about(w.ui);
    EXPECT_EQ(T(about.windowTitle()),
              " Об утилите: Профилактика базы данных Корунд-5W. Версия " + GetVersion() + ".");
    EXPECT_TRUE(about.isModal());
    EXPECT_EQ(T(about.theCmdClose->text()), "Закрыть");
    // 36 texts, 34 of them with a line end: 35 lines, four of them empty.
    const QTextDocument* doc = about.theRTBox->document();
    EXPECT_EQ(doc->blockCount(), 35);
    EXPECT_EQ(doc->toPlainText().count(QStringLiteral("\n\n")), 4);
    const std::string looks = DocumentLooks(doc);
    // Four bold headings, and "Внимание!" in magenta with the rest of its line in black.
    for (const char* marked :
         {"<0 b>Назначение утилиты:\n<0>", "<0 b>Как работает утилита:\n<0>",
          "<0 b>Условия работы утилиты:\n<0>",
          "\n<16711935 b>Внимание!<0> При одновременной работе нескольких пользователей в "
          "программе Корунд-5W в локальной сети,\n"})
        EXPECT_NE(looks.find(marked), std::string::npos) << marked;
    EXPECT_EQ(std::count(looks.begin(), looks.end(), '<'), 8) << looks;
    EXPECT_NE(looks.find("накопившегося \"мусора\" (данных, которые были удалены) и т.п.."),
              std::string::npos);
    EXPECT_TRUE(looks.ends_with("\n    свободного места, чем занимает сам файл БД."));
}

#ifdef K5_DEMO_TOOL
TEST_F(WindowTest, WholeRunOnTinyDemoThroughTheButtons) {
    const std::string folder = Scratch() + "/demo-run";
    fs::remove_all(folder);
    int code = -1;
    k5test::Shell(k5test::Quote(K5_DEMO_TOOL) + " " + k5test::Quote(folder) + " --scale tiny --seed 1",
                  &code);
    ASSERT_EQ(code, 0);
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
    std::set<std::string> during;
    w.ui.onYield = [&] { during.insert(States(f)); };
    f.theCmdStart->click();
    EXPECT_EQ(during, std::set<std::string>{kBusy});
    EXPECT_EQ(States(f), kIdle);
    for (const auto& c : w.ui.calls)
        EXPECT_NE(c.kind, "Message") << c.text;
    EXPECT_EQ(T(f.theLimitMessages->text()), "5");
    const QString plain = f.RichTextBox1->toPlainText();
    EXPECT_TRUE(plain.contains(QStringLiteral("   В таблицах удалять недоступные записи: Да")));
    EXPECT_FALSE(plain.contains(QStringLiteral(" ..."))); // every begun line was ended in place
    ExpectMirrors(f);

    // The RTF log is the pane saved, colours and weights with it; "Протоколы" selects it.
    const std::string rtf = f.State().mLogFileRtf;
    EXPECT_EQ(k5test::ReadAll(rtf), f.Protocol().Pane().ToRtf());
    EXPECT_TRUE(fs::exists(f.State().mLogFileTxt));
    f.theCmdProtocols->click();
    EXPECT_EQ(w.ui.calls.back().kind + " " + w.ui.calls.back().caption + " " + w.ui.calls.back().text,
              "Show select " + rtf);
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

    void Resize(int w, int h) {
        f.resize(w, h);
        QApplication::processEvents();
    }
    void ExpectRules() {
        const int cw = f.PixelsToTwipsX(f.width()), ch = f.PixelsToTwipsY(f.height());
        EXPECT_EQ(f.Twips(f.Label1).width, cw);
        EXPECT_EQ(f.Twips(f.Frame1).width, cw - 240);
        EXPECT_EQ(f.Twips(f.Text2).width, cw - 240 - 1725 - 60);
        const TwipsRect pane = f.Twips(f.RichTextBox1), about = f.Twips(f.theCmdAbout);
        EXPECT_EQ(std::tuple(pane.top, pane.height, pane.width), std::tuple(2835, ch - 2835 - 750, cw - 210));
        EXPECT_EQ(std::pair(about.left, about.top), std::pair(300, ch - 570 - 90));
        EXPECT_EQ(f.Twips(f.theCmdExit).left + f.Twips(f.theCmdExit).width, cw - 300);
        for (int i = 1; i < 4; ++i) {
            const TwipsRect a = f.Twips(rightButtons[i - 1]), b = f.Twips(rightButtons[i]);
            EXPECT_EQ(std::pair(a.left + a.width + 200, about.top), std::pair(b.left, b.top));
        }
        const TwipsRect box = f.Twips(f.theZipAndRename);
        EXPECT_EQ(std::pair(box.left, box.top), std::pair(300 + 1230 + 200, about.top + (570 - 285) / 2));
        // The progress line stays between "Протокол:" and the pane.
        const TwipsRect bar = f.Twips(f.theProgressBar), text = f.Twips(f.theProgressText);
        EXPECT_GE(text.left, f.Twips(f.Label2).left + f.Twips(f.Label2).width);
        EXPECT_LE(text.left + text.width, bar.left);
        EXPECT_LE(bar.top + bar.height, pane.top);
        EXPECT_EQ(bar.left + bar.width, pane.left + pane.width);
        // And the pixels follow the twips.
        for (QWidget* c : f.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            const TwipsRect t = f.Twips(c);
            if (t.width == 0) continue;
            EXPECT_EQ(c->geometry(), QRect(f.TwipsToPixelsX(t.left), f.TwipsToPixelsY(t.top),
                                           f.TwipsToPixelsX(t.width), f.TwipsToPixelsY(t.height)))
                << T(c->objectName());
        }
    }
    std::map<QWidget*, QRect> Geometries() {
        std::map<QWidget*, QRect> out;
        for (QWidget* c : f.findChildren<QWidget*>())
            out[c] = c->geometry();
        return out;
    }
};

// At the start size, shrunk below the minimum, widened, and minimised.
TEST_F(LayoutTest, RulesHoldWhateverTheSize) {
    ExpectRules();
    Resize(50, 40);
    // The outer size, frame included, springs back to the minimum.
    EXPECT_NEAR(f.PixelsToTwipsX(f.frameGeometry().width()), ProphylaxisFrm::kMinWidthTwips, 15);
    EXPECT_NEAR(f.PixelsToTwipsY(f.frameGeometry().height()), ProphylaxisFrm::kMinHeightTwips, 15);
    ExpectRules();

    auto before = Geometries();
    const int exitLeft = f.Twips(f.theCmdExit).left;
    Resize(f.width() + f.TwipsToPixelsX(3000), f.height());
    EXPECT_NEAR(f.Twips(f.theCmdExit).left - exitLeft, 3000, 15); // the right buttons move
    EXPECT_EQ(f.theCmdAbout->geometry(), before[f.theCmdAbout]);  // the rest of the row stays
    EXPECT_EQ(f.theZipAndRename->geometry(), before[f.theZipAndRename]);
    ExpectRules();

    before = Geometries();
    f.showMinimized();
    QApplication::processEvents();
    f.Form_Resize();
    EXPECT_EQ(Geometries(), before);
    EXPECT_TRUE(ui.calls.empty());
    f.showNormal();
    QApplication::processEvents();
    ExpectRules();
}

} // namespace
