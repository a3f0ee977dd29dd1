// The main window, the About window and the window's Qt user under the offscreen platform.
#include "common/TestEnv.h"
#include "app/AboutFrm.h"
#include "app/ProphylaxisFrm.h"
#include "app/QtInteraction.h"
#include "common/ScriptedInteraction.h"
#include "common/TestUtil.h"
#include "maintenance/RunStart.h"
#include "support/Common.h"
#include "support/FilesLib.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <thread>

using namespace k5;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Settings and trash live in a scratch folder, set up before main makes the application.
const std::string kScratch = [] {
    char tmpl[] = "/tmp/k5_app_test_XXXXXX";
    const std::string d = mkdtemp(tmpl);
    fs::create_directories(d + "/etc/Seltaris");
    fs::create_directories(d + "/data");
    setenv("XDG_CONFIG_DIRS", (d + "/etc").c_str(), 1);
    setenv("XDG_DATA_HOME", (d + "/data").c_str(), 1);
    return d;
}();

void WriteSettings(const std::string& body) {
    std::ofstream(kScratch + "/etc/Seltaris/Korund5.conf", std::ios::trunc) << body;
}
const auto T = [](const QString& s) { return s.toStdString(); };

// Text with "<colour>" or "<colour b>" wherever the look changes; line breaks have no look.
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
    explicit Looks(const QTextDocument* doc = nullptr) {
        for (QTextBlock b = doc ? doc->begin() : QTextBlock(); b.isValid(); b = b.next()) {
            if (b != doc->begin()) text += "\n";
            for (auto it = b.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat f = it.fragment().charFormat();
                const QColor c = f.foreground().color();
                Add(it.fragment().text(),
                    uint32_t(c.red()) | uint32_t(c.green()) << 8 | uint32_t(c.blue()) << 16,
                    f.fontWeight() >= QFont::Bold);
            }
        }
    }
};

// The pane shows the protocol's model: the same text in the same colours and weights.
void ExpectMirrors(ProphylaxisFrm& frm) {
    Looks model;
    for (const RichPane::Run& r : frm.Protocol().Pane().Runs())
        model.Add(QString::fromStdU16String(r.text), r.colour, r.bold);
    EXPECT_EQ(Looks(frm.RichTextBox1->document()).text, model.text);
}

struct Window {
    ScriptedInteraction ui;
    k5test::TestEnv env;
    ProphylaxisFrm frm{&ui, nullptr, env};
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
};

TEST_F(WindowTest, ControlsAtCreation) {
    Window w;
    ProphylaxisFrm& f = w.frm;
    EXPECT_EQ(T(f.windowTitle()), "Профилактика базы данных Корунд-5W.");
    // clang-format off
    const std::array<const char*, 3> controls[] = {
        {"Label1", "QLabel", "Профилактика базы данных программы Корунд-5W"},
        {"Frame1", "QGroupBox", "Параметры: "}, {"Label3", "QLabel", "Путь к папке с БД:"},
        {"Text2", "QLineEdit", ""},
        {"Label4", "QLabel", "Максимальное количество сообщений об ошибках для каждой таблицы:"},
        {"theLimitMessages", "QLineEdit", ""}, {"Label5", "QLabel", "( 0 - без ограничения )"},
        {"theRemoveOrphaned", "QCheckBox", "В таблицах удалять недоступные записи"},
        {"theClearPfrErrors", "QCheckBox", "Очистить результаты проверок документов персучета"},
        {"theRemoveOrphanedBigDocs", "QCheckBox", "В подкаталоге \\BigDocs\\ удалять недоступные файлы"},
        {"theCompactBigDocs", "QCheckBox", "Сжимать файлы в подкаталоге \\BigDocs\\"},
        {"theZipAndRename", "QCheckBox", "Архивировать и переименовать Korund5.mdb независимо от результата профилактики"},
        {"Label2", "QLabel", "Протокол:"}, {"RichTextBox1", "QTextEdit", ""},
        {"theCmdStart", "QPushButton", "Выполнить"}, {"theCmdCancel", "QPushButton", "Отмена"},
        {"theCmdProtocols", "QPushButton", "Протоколы"}, {"theCmdExit", "QPushButton", "Выход"},
        {"theCmdAbout", "QPushButton", "Об утилите"},
    };
    // clang-format on
    for (const auto& [name, kind, text] : controls) {
        QWidget* c = f.findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(c, nullptr) << name;
        EXPECT_TRUE(c->inherits(kind)) << name;
        EXPECT_EQ(T(c->property(c->inherits("QGroupBox") ? "title" : "text").toString()), text) << name;
        EXPECT_FALSE(c->property("checked").toBool()) << name;
    }
    EXPECT_EQ(f.theCompactBigDocs->parentWidget(), f.Frame1);
    EXPECT_EQ(f.theZipAndRename->parentWidget(), &f); // in the button row
    EXPECT_EQ(T(f.theCmdProtocols->toolTip()), "Показать папку с файлами протоколов");
    EXPECT_TRUE(f.RichTextBox1->isReadOnly());
    EXPECT_EQ(f.Text2->palette().color(QPalette::Base), f.Text2->palette().color(QPalette::Button));
    EXPECT_EQ(States(f), kIdle);
}

// With no folder setting the start-up pass fails in the pane only, busy (no close) meanwhile.
// A run on a missing folder writes no log and says so; an unexpected failure (no file
// library) gives the failure box; "Протоколы" shows the folder; "Выход" closes. While the
// window is busy, a step begun names the progress line (the last line of its text); when
// idle, it does not.
TEST_F(WindowTest, FailedPassesAndTheFailureBox) {
    Window w;
    w.env.pause = [&w](Wait which, UserInteraction& u) {
        if (which != Wait::RunStamp) w.env.SystemEnv::Pause(which, u);
    };
    w.frm.show();
    std::set<std::string> during;
    std::string named;
    w.ui.onYield = [&, inside = false]() mutable {
        during.insert(States(w.frm) + (w.frm.close() ? " closed" : ""));
        if (inside || !named.empty()) return;
        inside = true;
        w.frm.Protocol().LogAddBegin("Копирование\r\nтаблицы T", true);
        named = T(w.frm.theProgressText->text());
        inside = false;
    };
    w.frm.Form_Initialize();
    EXPECT_EQ(during, std::set<std::string>{kBusy});
    EXPECT_EQ(named, "таблицы T");
    w.frm.Protocol().LogAddBegin("Шаг", true);
    EXPECT_EQ(T(w.frm.theProgressText->text()), "");
    EXPECT_EQ(T(w.frm.windowTitle()), " Профилактика базы данных Корунд-5W. Версия " + GetVersion() + ".");
    EXPECT_EQ(T(w.frm.theLimitMessages->text()), "0");
    EXPECT_TRUE(w.frm.RichTextBox1->toPlainText().contains(
        QStringLiteral("В настройках программы отсутствует информация о расположении базы данных.")));
    EXPECT_TRUE(w.frm.State().mLogFileTxt.empty()); // no file written
    ExpectMirrors(w.frm);

    const std::string db = kScratch + "/нет такой папки/";
    w.frm.Text2->setText(QString::fromStdString(db));
    w.frm.theCmdStart->click();
    ASSERT_EQ(w.ui.calls.size(), 1u);
    EXPECT_EQ(w.ui.calls[0].kind + " " + w.ui.calls[0].text,
              "Message Протокол не сохранён: не найдена папка базы данных \"" + db + "\".");
    EXPECT_EQ(w.ui.calls[0].icon, BoxIcon::Information);
    EXPECT_FALSE(fs::exists(db));

    w.env.filesLibReachable = false;
    w.frm.Text2->setText(QString::fromStdString(kScratch));
    w.frm.theCmdStart->click();
    w.env.filesLibReachable = true;
    const std::string text = w.ui.calls.at(1).text;
    EXPECT_EQ(w.ui.calls[1].kind + " " + text.substr(0, text.find(' ')), "Message Ошибка");
    EXPECT_EQ(w.ui.calls[1].icon, BoxIcon::Critical);
    const size_t inner = text.find("[K5VedovodeduzOR::ProphylaxisFrm.StartRun]");
    EXPECT_LT(text.find("[K5VedovodeduzOR::ProphylaxisFrm.theCmdStart_Click]"), inner) << text;
    EXPECT_NE(inner, std::string::npos) << text;
    EXPECT_EQ(States(w.frm) + (QApplication::overrideCursor() ? " hourglass" : ""), kIdle);
    w.frm.theCmdProtocols->click();
    EXPECT_EQ(w.ui.calls.back().caption + " " + w.ui.calls.back().text,
              "folder " + kScratch + "/Профилактика_БД/");
    w.frm.theCmdExit->click();
    EXPECT_FALSE(w.frm.isVisible());
    EXPECT_EQ(w.ui.calls.size(), 3u);
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

// "Отмена": No goes on, Yes stops; a stopped run still unwinding can't be closed or restarted.
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
        EXPECT_EQ(c.kind + c.text + c.caption + (c.icon == BoxIcon::Question ? " (?)" : ""),
                  "YesNoОтменить профилактику БД?Профилактика базы данных Корунд-5W. (?)");
    EXPECT_EQ(unwinding, std::set<std::string>{kUnwinding});
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(States(f), kIdle);
}

TEST_F(WindowTest, ExitAfterSuccessfulPassAsks) {
    const std::string root = kScratch + "/k5w", program = root + "/K5W.exe";
    fs::create_directories(root);
    // "RootPath", the answer, whether the program is there, whether the window stays, the calls
    // after the question. Without "RootPath" the program is looked for by its name alone.
    const std::tuple<std::string, Answer, bool, bool, std::string> cases[] = {
        {root, Answer::Cancel, true, true, ""},
        {root, Answer::Yes, true, false, "|Start " + program},
        {root, Answer::Yes, false, false, "|Message Файл " + program + " не найден на этом компьютере."},
        {"", Answer::Yes, false, false, "|Message Файл K5W.exe не найден на этом компьютере."},
    };
    for (const auto& [rootPath, answer, programThere, staysOpen, after] : cases) {
        WriteSettings(rootPath.empty() ? "" : "[General]\nRootPath=" + rootPath + "\n");
        programThere ? void(std::ofstream(program) << "#!/bin/sh\n") : void(fs::remove(program));
        Window w;
        w.frm.show();
        w.frm.State().mProphylaxisOk = true;
        w.ui.QueueAnswer(answer);
        w.frm.theCmdExit->click();
        EXPECT_EQ(w.frm.isVisible(), staysOpen) << after;
        std::string got;
        for (const auto& c : w.ui.calls)
            got += (got.empty() ? "" : "|") + c.kind + " " + c.text;
        EXPECT_EQ(got, "YesNoCancel Запустить Корунд-5W?" + after);
        EXPECT_EQ(w.ui.calls.at(0).icon, BoxIcon::Information);
    }
}

TEST_F(WindowTest, AboutWindowCaptionTextsColoursAndWeights) {
    ScriptedInteraction ui;
    AboutFrm about(ui);
    EXPECT_TRUE(about.isModal());
    EXPECT_EQ(T(about.windowTitle()),
              " Об утилите: Профилактика базы данных Корунд-5W. Версия " + GetVersion() + ".");
    EXPECT_EQ(T(about.theCmdClose->text()), "Закрыть");
    // 35 lines, four of them empty: the plain text below pins them all.
    const std::string looks = Looks(about.theRTBox->document()).text;
    // Four bold headings, "Внимание!" among them in magenta, and the rest of its line in black.
    for (const char* marked :
         {"<0 b>Назначение утилиты:\n<0>", "<0 b>Как работает утилита:\n<0>",
          "<0 b>Условия работы утилиты:\n<0>",
          "\n<16711935 b>Внимание!<0> При одновременной работе нескольких пользователей в "
          "программе Корунд-5W в локальной сети,\n"})
        EXPECT_NE(looks.find(marked), std::string::npos) << marked;
    EXPECT_EQ(std::count(looks.begin(), looks.end(), '<'), 8) << looks;
    // Every text word for word.
    EXPECT_EQ(
        about.theRTBox->toPlainText().toStdString(),
        "Назначение утилиты:\n"
        "- Диагностика БД, т.е. попытка обнаружения некоторых повреждений БД, которые ещё не проявились\n"
        "  ошибками в программе.\n"
        "- Сжатие БД, т.е. очистка файла от накопившегося \"мусора\" (данных, которые были удалены) и т.п..\n"
        "  При этом объём БД может уменьшиться, что в некоторой степени увеличивает производительность\n"
        "  программы и снижает вероятность повреждения файла БД.\n"
        "- При некоторых не сложных повреждениях БД, утилита помогает в \"ремонте\" БД.\n"
        "\n"
        "Внимание! При одновременной работе нескольких пользователей в программе Корунд-5W в локальной "
        "сети,\n"
        "файл БД может быть повреждён. Если такое случилось, и данная утилита выдаёт соответствующие "
        "сообщения,\n"
        "то необходимо обратиться к разработчику Корунд-5W за помощью в \"ремонте\" БД.\n"
        "\n"
        "Как работает утилита:\n"
        "- В папке БД программы Корунд-5W утилита создаёт новый файл БД и переписывает в него все данные\n"
        "  из старого файла БД, после чего производится сжатие. При этом все действия протоколируются.\n"
        "- Если процесс завершается без каких-либо ошибок, то в подпапке \\Профилактика_БД\\ папки БД "
        "делается\n"
        "  резервная копия старого файла (с постфиксом в его имени \"_резервная_копия_...\"), и старый файл\n"
        "  заменяется вновь созданным.\n"
        "- Если процесс завершается с ошибками, то старый файл остаётся в первоначальном состоянии, и\n"
        "  в папке БД остаётся вновь созданный файл (с постфиксом в его имени \"_Prophylaxis\"), в который\n"
        "  переписаны все данные, которые удалось переписать.\n"
        "\n"
        "Если, после визуального анализа ошибок и соответствующего анализа исходной БД, выясняется, что\n"
        "новый файл содержит все полезные данные из исходного файла (т.е. нет потери полезных данных),\n"
        "то новый файл можно использовать в качестве \"отремонтированного\".\n"
        "Обязательно предварительно сделав резервную копию исходного файла БД.\n"
        "\n"
        "Условия работы утилиты:\n"
        "1. Требуется монопольный доступ к БД, т.е.:\n"
        "    - все пользователи Корунд-5W должны выйти из программы (завершить работу в программе),\n"
        "    - программа Корунд-5W не должна находиться в состоянии обновления (в том числе обновления базы "
        "данных).\n"
        "    - во время профилактики БД пользователи не могут работать с Корунд-5W даже на просмотр "
        "документов.\n"
        "2. На диске, на котором расположена БД, должно быть достаточное количество свободного места.\n"
        "    Т.к. утилита переписывает данные БД несколько раз, то ориентировочно требуется в 3 раза больше\n"
        "    свободного места, чем занимает сам файл БД.");
}

#ifdef K5_DEMO_TOOL
TEST_F(WindowTest, WholeRunOnTinyDemoThroughTheButtons) {
    const std::string folder = kScratch + "/demo-run";
    fs::remove_all(folder);
    const std::string demo = k5test::Quote(K5_DEMO_TOOL) + " " + k5test::Quote(folder) + " --scale tiny";
    ASSERT_EQ(std::system((demo + " --seed 1 >/dev/null").c_str()), 0);
    WriteSettings("[General]\nDataBasePath=" + folder + "\n");
    Window w;
    ProphylaxisFrm& f = w.frm;
    f.Form_Initialize();
    f.show();
    EXPECT_TRUE(f.State().mProphylaxisOk);
    EXPECT_EQ(T(f.Text2->text()), folder + "/");
    EXPECT_FALSE(fs::exists(folder + "/Профилактика_БД") && !fs::is_empty(folder + "/Профилактика_БД"));

    f.theRemoveOrphaned->setChecked(true);
    f.theLimitMessages->setText(QStringLiteral(" 5 "));
    std::set<std::string> during;
    w.ui.onYield = [&] { during.insert(States(f)); };
    f.theCmdStart->click();
    EXPECT_EQ(during, std::set<std::string>{kBusy});
    EXPECT_EQ(States(f), kIdle);
    EXPECT_TRUE(w.ui.calls.empty());
    const QString plain = f.RichTextBox1->toPlainText();
    EXPECT_TRUE(plain.contains(QStringLiteral("   В таблицах удалять недоступные записи: Да")));
    EXPECT_FALSE(plain.contains(QStringLiteral(" ..."))); // every begun line was ended in place
    ExpectMirrors(f);

    // The RTF log is the pane saved, colours and weights with it; "Протоколы" selects it.
    EXPECT_EQ(k5test::ReadAll(f.State().mLogFileRtf), f.Protocol().Pane().ToRtf());
    EXPECT_TRUE(fs::exists(f.State().mLogFileTxt));
    f.theCmdProtocols->click();
    ASSERT_EQ(w.ui.calls.size(), 1u);
    EXPECT_EQ(w.ui.calls[0].kind + " " + w.ui.calls[0].caption + " " + w.ui.calls[0].text,
              "Show select " + f.State().mLogFileRtf);
}
#endif

// At the start size, shrunk below the minimum, widened, and minimised; the progress line
// follows the window's own user.
// Rows of `image` (from `top` down) in column range [x0, x1) that hold a pixel far from the
// background colour.
std::vector<int> InkRows(const QImage& image, int x0, int x1, const QColor& background) {
    std::vector<int> rows;
    for (int y = 0; y < image.height(); ++y)
        for (int x = std::max(0, x0); x < std::min(image.width(), x1); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - background.red()) + std::abs(c.green() - background.green()) +
                    std::abs(c.blue() - background.blue()) >
                60) {
                rows.push_back(y);
                break;
            }
        }
    return rows;
}

// The caption of "Параметры:" sits on its frame line and the first row lies clear below it;
// each label's text is level with its field's; the desktop's own font size wherever a fixed
// text fits at it, and every fixed text fits its control; at the minimum size the caption of
// the check box in the button row stops short of the buttons.
TEST_F(WindowTest, LooksOfTheWindow) {
    ProphylaxisFrm f;
    f.show();
    QApplication::processEvents();
    const QColor background = f.palette().color(QPalette::Window);
    const QImage frame = f.Frame1->grab().toImage();
    const std::vector<int> line = InkRows(frame, frame.width() - 40, frame.width() - 20, background);
    const QRect title = f.Frame1->fontMetrics().boundingRect(f.Frame1->title());
    const std::vector<int> caption = InkRows(frame, 0, title.width() + 20, background);
    ASSERT_FALSE(line.empty() || caption.empty());
    const int lineY = line.front(), captionMiddle = (caption.front() + caption.front() + title.height()) / 2;
    EXPECT_LE(std::abs(lineY - captionMiddle), 3)
        << "frame line at " << lineY << ", caption middle at " << captionMiddle;
    EXPECT_GT(f.Text2->y(), caption.front() + title.height()) << "the path field touches the caption";

    for (const auto& [label, field] : {std::pair<QWidget*, QWidget*>{f.Label3, f.Text2},
                                       {f.Label4, f.theLimitMessages},
                                       {f.Label5, f.theLimitMessages}})
        EXPECT_EQ(label->geometry().center().y(), field->geometry().center().y()) << T(label->objectName());

    const qreal normal = QApplication::font().pointSizeF();
    EXPECT_EQ(f.font().pointSizeF(), normal);
    for (QWidget* c : {static_cast<QWidget*>(f.RichTextBox1), static_cast<QWidget*>(f.Label2),
                       static_cast<QWidget*>(f.Frame1)})
        EXPECT_EQ(c->font().pointSizeF(), normal) << T(c->objectName());
    for (QWidget* c : f.findChildren<QWidget*>()) {
        const QString text = c->property(c->inherits("QGroupBox") ? "title" : "text").toString();
        if (text.isEmpty() || c->inherits("QLineEdit") || c->inherits("QTextEdit") || !c->isVisible())
            continue;
        const int box = c->inherits("QCheckBox")
                            ? c->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                                  c->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing)
                        : c->inherits("QPushButton") ? 8
                                                     : 0;
        const auto fits = [&](const QFont& font) {
            const QFontMetrics m(font);
            return m.horizontalAdvance(text) + box <= c->width() && m.height() <= c->height();
        };
        EXPECT_TRUE(fits(c->font())) << T(c->objectName()) << " " << c->font().toString().toStdString();
        QFont desktop = c->font();
        desktop.setPointSizeF(c == f.Label1 ? c->font().pointSizeF() : normal);
        desktop.setFamily(QApplication::font().family());
        EXPECT_TRUE(c->font().pointSizeF() >= normal || !fits(desktop))
            << T(c->objectName()) << " could use " << normal << " pt";
    }

    f.resize(10, 10);
    QApplication::processEvents();
    const QImage box = f.theZipAndRename->grab().toImage();
    const int buttons = f.theCmdStart->x() - f.theZipAndRename->x();
    ASSERT_LT(buttons, box.width()) << "the check box does not reach the buttons at the minimum size";
    EXPECT_TRUE(InkRows(box, buttons - 2, box.width(), background).empty())
        << "the caption runs under the buttons";
    EXPECT_EQ(T(f.theZipAndRename->toolTip()), T(f.theZipAndRename->text()));
}

TEST_F(WindowTest, LayoutRulesHoldWhateverTheSizeAndTheProgressLineFollows) {
    ProphylaxisFrm f;
    ASSERT_NE(f.OwnInteraction(), nullptr);
    f.Ui().Progress("Удаление лишних записей", 3, 4);
    EXPECT_EQ(std::pair(f.theProgressBar->value(), f.theProgressBar->maximum()), std::pair(750, 1000));
    std::this_thread::sleep_for(35ms);
    f.Ui().Progress(std::string(), 0, 0); // an engine call without a total keeps the step's name
    EXPECT_EQ(T(f.theProgressText->text()), "Удаление лишних записей");
    EXPECT_EQ(f.theProgressBar->maximum(), 0);
    auto expectRules = [&] {
        QApplication::processEvents();
        const int cw = f.PixelsToTwipsX(f.width()), ch = f.PixelsToTwipsY(f.height());
        const TwipsRect pane = f.Twips(f.RichTextBox1), about = f.Twips(f.theCmdAbout),
                        box = f.Twips(f.theZipAndRename);
        EXPECT_EQ(std::tuple(f.Twips(f.Label1).width, f.Twips(f.Frame1).width, f.Twips(f.Text2).width),
                  std::tuple(cw, cw - 240, cw - 240 - 1725 - 60));
        EXPECT_EQ(std::tuple(pane.top, pane.height, pane.width), std::tuple(2835, ch - 2835 - 750, cw - 210));
        EXPECT_EQ(std::tuple(about.left, about.top, box.left, box.top),
                  std::tuple(300, ch - 570 - 90, 300 + 1230 + 200, about.top + (570 - 285) / 2));
        int right = cw - 300; // the right buttons end there, 200 apart
        for (QWidget* button : {f.theCmdExit, f.theCmdCancel, f.theCmdProtocols, f.theCmdStart}) {
            const TwipsRect b = f.Twips(button);
            EXPECT_EQ(std::pair(b.left + b.width, b.top), std::pair(right, about.top));
            right = b.left - 200;
        }
        // The progress line stays between "Протокол:" and the pane.
        const TwipsRect bar = f.Twips(f.theProgressBar), text = f.Twips(f.theProgressText),
                        label = f.Twips(f.Label2);
        EXPECT_TRUE(label.left + label.width <= text.left && text.left + text.width <= bar.left &&
                    bar.top + bar.height <= pane.top);
        EXPECT_EQ(bar.left + bar.width, pane.left + pane.width);
        for (QWidget* c : f.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            const TwipsRect t = f.Twips(c); // and the pixels follow the twips
            if (t.width == 0) continue;
            EXPECT_EQ(c->geometry(), QRect(f.TwipsToPixelsX(t.left), f.TwipsToPixelsY(t.top),
                                           f.TwipsToPixelsX(t.width), f.TwipsToPixelsY(t.height)))
                << T(c->objectName());
        }
    };
    f.show();
    expectRules();
    f.resize(50, 40);
    expectRules();
    // The outer size, frame included, springs back to the minimum.
    EXPECT_NEAR(f.PixelsToTwipsX(f.frameGeometry().width()), ProphylaxisFrm::kMinWidthTwips, 15);
    EXPECT_NEAR(f.PixelsToTwipsY(f.frameGeometry().height()), ProphylaxisFrm::kMinHeightTwips, 15);

    const QRect aboutAt = f.theCmdAbout->geometry(), boxAt = f.theZipAndRename->geometry();
    const int exitLeft = f.Twips(f.theCmdExit).left;
    f.resize(f.width() + f.TwipsToPixelsX(3000), f.height());
    expectRules();
    EXPECT_NEAR(f.Twips(f.theCmdExit).left - exitLeft, 3000, 15); // the right buttons move, the rest stays
    EXPECT_EQ(std::pair(f.theCmdAbout->geometry(), f.theZipAndRename->geometry()), std::pair(aboutAt, boxAt));

    const QRect paneAt = f.RichTextBox1->geometry(), exitAt = f.theCmdExit->geometry();
    f.showMinimized();
    QApplication::processEvents();
    f.Form_Resize();
    EXPECT_EQ(std::pair(f.RichTextBox1->geometry(), f.theCmdExit->geometry()), std::pair(paneAt, exitAt));
    f.showNormal();
    expectRules();
}

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
        gBoxSeen = T(buttons.join('/') + " " + QString::number(box->icon()) + " " + box->windowTitle() +
                     ": " + box->text());
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QString::fromUtf8(press)) b->click();
    });
}

TEST(QtInteractionTest, BoxesHaveRussianButtonsAndTheNamedIcons) {
    QtInteraction ui;
    AnswerNextBox("Нет");
    EXPECT_FALSE(ui.AskYesNo("Отменить?", "Заголовок", BoxIcon::Question));
    EXPECT_EQ(gBoxSeen, "Да/Нет 4 Заголовок: Отменить?"); // 4: question mark
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
}

TEST(QtInteractionTest, ProgressIsThrottledAndStillYields) {
    QtInteraction ui;
    std::vector<std::string> shown;
    ui.progressSink = [&](const std::string& s, int64_t d, int64_t) {
        shown.push_back(s + " " + std::to_string(d));
    };
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
    EXPECT_EQ(shown.at(0), "Копирование 0");
    EXPECT_LE(shown.size(), 1u + static_cast<size_t>((std::chrono::steady_clock::now() - start) / 30ms));
    shown.clear();
    ui.Progress("Другой шаг", 1, 1000);    // a new step always shows
    ui.Progress("Другой шаг", 1000, 1000); // and so does a finished one
    ui.Progress("Другой шаг", 5, 1000);    // but not one right after
    std::this_thread::sleep_for(35ms);
    ui.Progress("Другой шаг", 6, 1000); // after the interval it shows again
    EXPECT_EQ(shown, (std::vector<std::string>{"Другой шаг 1", "Другой шаг 1000", "Другой шаг 6"}));
}

} // namespace
