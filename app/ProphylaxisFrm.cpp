#include "app/ProphylaxisFrm.h"

#include "app/AboutFrm.h"
#include "app/QtInteraction.h"
#include "app/WindowUtil.h"
#include "dbengine/DaoEngine.h"
#include "maintenance/Prophylaxis.h"
#include "maintenance/RunStart.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"
#include "support/Settings.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <algorithm>
#include <cmath>

namespace k5 {

namespace {

QString Q(const char* s) {
    return QString::fromUtf8(s);
}

// The size the window opens with (its client area), in twips: the options group and the
// button row of the initial geometry fit exactly.
constexpr int kInitialClientWidth = 13905;
constexpr int kInitialClientHeight = 9015;

// The progress line sits right of "Протокол:", above the pane, where no named control is.
constexpr int kProgressTextLeft = 1245;
constexpr int kProgressTop = 2475;
constexpr int kProgressHeight = 240;
constexpr int kProgressBarWidth = 3000;
constexpr int kPaneLeftForProgress = 105;

const char* const kInitialTitle = "Профилактика базы данных Корунд-5W.";
const char* const kCancelQuestion = "Отменить профилактику БД?";

int Round(double v) {
    return static_cast<int>(std::lround(v));
}

} // namespace

// The window's options as the maintenance steps read them: a check box counts only when
// ticked (the grey third state counts as not set).
class ProphylaxisFrm::WindowOptions : public RunOptions {
public:
    explicit WindowOptions(ProphylaxisFrm& frm) : mFrm(frm) {}
    bool RemoveOrphaned() override { return Ticked(mFrm.theRemoveOrphaned); }
    bool ClearPfrErrors() override { return Ticked(mFrm.theClearPfrErrors); }
    bool RemoveOrphanedBigDocs() override { return Ticked(mFrm.theRemoveOrphanedBigDocs); }
    bool CompactBigDocs() override { return Ticked(mFrm.theCompactBigDocs); }
    bool ZipAndRename() override { return Ticked(mFrm.theZipAndRename); }
    std::string LimitText() override { return mFrm.theLimitMessages->text().toStdString(); }
    void SetLimitText(const std::string& text) override {
        mFrm.theLimitMessages->setText(QString::fromStdString(text));
    }
    std::string FolderText() override { return mFrm.Text2->text().toStdString(); }
    void SetFolderText(const std::string& text) override {
        mFrm.Text2->setText(QString::fromStdString(text));
    }

private:
    static bool Ticked(const QCheckBox* box) { return box->checkState() == Qt::Checked; }
    ProphylaxisFrm& mFrm;
};

ProphylaxisFrm::ProphylaxisFrm(UserInteraction* ui, QWidget* parent, Env& env) : QWidget(parent) {
    setObjectName(QStringLiteral("ProphylaxisFrm"));
    if (ui == nullptr) {
        mOwnUi = std::make_unique<QtInteraction>(this);
        mOwnUi->progressSink = [this](const std::string& step, int64_t done, int64_t total) {
            ShowProgress(step, done, total);
        };
        mOwnUi->describePoint = [this] {
            const QString text = RichTextBox1->document()->lastBlock().text();
            return (text.isEmpty() ? RichTextBox1->document()->lastBlock().previous().text() : text)
                       .toStdString() +
                   (theProgressText->text().isEmpty() ? ""
                                                      : " [" + theProgressText->text().toStdString() + "]");
        };
        ui = mOwnUi.get();
    }
    mUi = ui;
    mLog = std::make_unique<RunProtocol>(mState, *mUi, env);
    mOptions = std::make_unique<WindowOptions>(*this);
    mEngine = std::make_unique<db::DBEngine>(env);
    mCtx = std::make_unique<MaintenanceContext>(MaintenanceContext{mState, *mLog, *mUi, env, *mOptions, *mEngine});
    // Long engine calls (compaction) report through the same indicator and yield.
    mEngine->SetProgressHook(
        [this](int64_t done, int64_t total) { mUi->Progress(std::string(), done, total); });

    CreateControls();
    mLog->Pane().AddListener([this](int64_t start, int64_t length, const std::string& text, uint32_t colour,
                                    bool bold) { OnPaneChange(start, length, text, colour, bold); });
    setWindowTitle(Q(kInitialTitle));
    resize(TwipsToPixelsX(kInitialClientWidth), TwipsToPixelsY(kInitialClientHeight));
    // The fonts fit the controls where the layout puts them at the initial size.
    Form_Resize();
    FitFonts();
    FrameCaptionOnItsLine();
    SetIdle();
}

ProphylaxisFrm::~ProphylaxisFrm() {
    // The focus handlers need the run state, which goes before the child controls do.
    theLimitMessages->removeEventFilter(this);
}

int ProphylaxisFrm::TwipsToPixelsX(int twips) const {
    return Round(twips * logicalDpiX() / 1440.0);
}
int ProphylaxisFrm::TwipsToPixelsY(int twips) const {
    return Round(twips * logicalDpiY() / 1440.0);
}
int ProphylaxisFrm::PixelsToTwipsX(int pixels) const {
    return Round(pixels * 1440.0 / logicalDpiX());
}
int ProphylaxisFrm::PixelsToTwipsY(int pixels) const {
    return Round(pixels * 1440.0 / logicalDpiY());
}

TwipsRect ProphylaxisFrm::Twips(const QWidget* control) const {
    auto it = mTwips.find(control);
    return it == mTwips.end() ? TwipsRect{} : it->second;
}

void ProphylaxisFrm::Place(QWidget* control, const TwipsRect& rect) {
    mTwips[control] = rect;
    control->setGeometry(TwipsToPixelsX(rect.left), TwipsToPixelsY(rect.top), TwipsToPixelsX(rect.width),
                         TwipsToPixelsY(rect.height));
}

// The fixed geometry was drawn for a narrow 8-point face. Every control keeps the desktop's
// font where its fixed text fits at it; a control whose text does not fit takes the first
// of a condensed face at the same size, then smaller sizes of either, in which it does.
void ProphylaxisFrm::FitFonts() {
    const QFont desktop = font();
    QStringList families = {desktop.family()};
    for (const char* narrow : {"DejaVu Sans Condensed", "Liberation Sans Narrow", "Arial Narrow"})
        if (QFontInfo(QFont(QString::fromLatin1(narrow))).family() == QString::fromLatin1(narrow))
            families << QString::fromLatin1(narrow);
    QWidget* const controls[] = {Label3,
                                 Text2,
                                 Label4,
                                 theLimitMessages,
                                 Label5,
                                 theRemoveOrphaned,
                                 theClearPfrErrors,
                                 theRemoveOrphanedBigDocs,
                                 theCompactBigDocs,
                                 theZipAndRename,
                                 Label2,
                                 theCmdAbout,
                                 theCmdStart,
                                 theCmdProtocols,
                                 theCmdCancel,
                                 theCmdExit};
    for (QWidget* c : controls) {
        const bool field = c->inherits("QLineEdit");
        const QString text = field ? QString() : c->property("text").toString();
        // Room the style takes besides the text: the box of a check box, the margins of a
        // button, the frame of a field.
        int extra = 0;
        if (c->inherits("QCheckBox"))
            extra = c->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, c) +
                    c->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, c);
        else if (c->inherits("QPushButton"))
            extra = 2 * c->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, c);
        const int frame = field ? 2 * c->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, c) : 0;
        // The button row's check box reaches under "Выполнить" already at the initial size.
        int room = c->width();
        if (const auto* box = dynamic_cast<ElidingCheckBox*>(c); box && box->CaptionLimit() >= 0)
            room = std::min(room, box->CaptionLimit());
        auto fits = [&](const QFont& candidate) {
            const QFontMetrics m(candidate);
            return m.horizontalAdvance(text) + extra <= room && m.height() + frame <= c->height();
        };
        QFont chosen = desktop;
        bool found = false;
        for (double size = desktop.pointSizeF(); !found && size >= 7.0; size -= 0.5)
            for (const QString& family : families) {
                QFont candidate = desktop;
                candidate.setFamily(family);
                candidate.setPointSizeF(size);
                chosen = candidate;
                if ((found = fits(candidate))) break;
            }
        if (chosen != desktop) c->setFont(chosen);
    }
}

// A label sits level with its field: it takes the field's height and top, so that both texts,
// centred, share their middle (the labels' own heights were made for another face).
void ProphylaxisFrm::AlignLabels() {
    for (const auto& [label, field] : {std::pair<QLabel*, QWidget*>{Label3, Text2},
                                       {Label4, theLimitMessages},
                                       {Label5, theLimitMessages}}) {
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setGeometry(label->x(), field->y(), label->width(), field->height());
    }
}

// The caption of "Параметры:" on the frame's top line, as the layout's coordinates assume:
// the line runs through the middle of the caption, and the rows below keep clear of both.
void ProphylaxisFrm::FrameCaptionOnItsLine() {
    const int middle = QFontMetrics(Frame1->font()).height() / 2;
    Frame1->setStyleSheet(
        QStringLiteral("QGroupBox#Frame1 { border: 1px solid palette(mid); border-radius: 2px;"
                       " margin-top: %1px; }"
                       " QGroupBox#Frame1::title { subcontrol-origin: margin;"
                       " subcontrol-position: top left; left: 6px; padding: 0 2px; }")
            .arg(middle));
}

void ProphylaxisFrm::CreateControls() {

    Label1 = new QLabel(Q("Профилактика базы данных программы Корунд-5W"), this);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    Frame1 = new QGroupBox(Q("Параметры: "), this);
    Label3 = new QLabel(Q("Путь к папке с БД:"), Frame1);
    Text2 = new QLineEdit(Frame1);
    {
        QPalette p = Text2->palette();
        p.setColor(QPalette::Base, p.color(QPalette::Button));
        Text2->setPalette(p);
    }
    Label4 = new QLabel(Q("Максимальное количество сообщений об ошибках для каждой таблицы:"), Frame1);
    theLimitMessages = new QLineEdit(Frame1);
    Label5 = new QLabel(Q("( 0 - без ограничения )"), Frame1);
    theRemoveOrphaned = new QCheckBox(Q("В таблицах удалять недоступные записи"), Frame1);
    theClearPfrErrors = new QCheckBox(Q("Очистить результаты проверок документов персучета"), Frame1);
    theRemoveOrphanedBigDocs =
        new QCheckBox(Q("В подкаталоге \\BigDocs\\ удалять недоступные файлы"), Frame1);
    theCompactBigDocs = new QCheckBox(Q("Сжимать файлы в подкаталоге \\BigDocs\\"), Frame1);
    theZipAndRename = new ElidingCheckBox(
        Q("Архивировать и переименовать Korund5.mdb независимо от результата профилактики"), this);
    Label2 = new QLabel(Q("Протокол:"), this);
    RichTextBox1 = new QTextEdit(this);
    RichTextBox1->setReadOnly(true);
    RichTextBox1->setLineWrapMode(QTextEdit::NoWrap);
    RichTextBox1->setAcceptRichText(true);
    RichTextBox1->setUndoRedoEnabled(false);
    theCmdStart = new QPushButton(Q("Выполнить"), this);
    theCmdCancel = new QPushButton(Q("Отмена"), this);
    theCmdProtocols = new QPushButton(Q("Протоколы"), this);
    theCmdProtocols->setToolTip(Q("Показать папку с файлами протоколов"));
    theCmdExit = new QPushButton(Q("Выход"), this);
    theCmdAbout = new QPushButton(Q("Об утилите"), this);
    theProgressText = new QLabel(this);
    theProgressBar = new QProgressBar(this);
    theProgressBar->setTextVisible(false);

    const std::pair<QWidget*, const char*> names[] = {
        {Label1, "Label1"},
        {Frame1, "Frame1"},
        {Label3, "Label3"},
        {Text2, "Text2"},
        {Label4, "Label4"},
        {theLimitMessages, "theLimitMessages"},
        {Label5, "Label5"},
        {theRemoveOrphaned, "theRemoveOrphaned"},
        {theClearPfrErrors, "theClearPfrErrors"},
        {theRemoveOrphanedBigDocs, "theRemoveOrphanedBigDocs"},
        {theCompactBigDocs, "theCompactBigDocs"},
        {theZipAndRename, "theZipAndRename"},
        {Label2, "Label2"},
        {RichTextBox1, "RichTextBox1"},
        {theCmdStart, "theCmdStart"},
        {theCmdCancel, "theCmdCancel"},
        {theCmdProtocols, "theCmdProtocols"},
        {theCmdExit, "theCmdExit"},
        {theCmdAbout, "theCmdAbout"},
        {theProgressText, "theProgressText"},
        {theProgressBar, "theProgressBar"},
    };
    for (const auto& [w, name] : names)
        w->setObjectName(QString::fromLatin1(name));

    Place(Label1, {0, 240, 13350, 315});
    Place(Frame1, {120, 630, 13665, 1650});
    Place(Label3, {150, 270, 1500, 210});
    Place(Text2, {1725, 270, 11340, 270});
    Place(Label4, {150, 585, 5610, 255});
    Place(theLimitMessages, {5775, 585, 795, 270});
    Place(Label5, {6630, 585, 1740, 255});
    Place(theRemoveOrphaned, {180, 900, 5535, 285});
    Place(theRemoveOrphanedBigDocs, {5775, 900, 5355, 285});
    Place(theClearPfrErrors, {180, 1245, 5535, 285});
    Place(theCompactBigDocs, {5775, 1245, 5355, 285});
    Place(Label2, {135, 2475, 975, 225});
    Place(RichTextBox1, {105, 2835, 13170, 5430});
    Place(theCmdAbout, {150, 8355, 1230, 570});
    Place(theZipAndRename, {1620, 8535, 7410, 285});
    Place(theCmdStart, {9615, 8400, 1110, 570});
    Place(theCmdProtocols, {10860, 8400, 1110, 570});
    Place(theCmdCancel, {12105, 8385, 900, 570});
    Place(theCmdExit, {13125, 8370, 930, 570});
    Place(theProgressText, {kProgressTextLeft, kProgressTop, 8000, kProgressHeight});
    Place(theProgressBar, {9000, kProgressTop, kProgressBarWidth, kProgressHeight});
    ResetProgress();
    AlignLabels();
    Label1->setFont([this] {
        QFont heading = font();
        heading.setBold(true);
        heading.setPointSizeF(font().pointSizeF() + 2);
        return heading;
    }());

    // Tab order as the controls read on the screen.
    QWidget* order[] = {Text2,
                        theLimitMessages,
                        theRemoveOrphaned,
                        theRemoveOrphanedBigDocs,
                        theClearPfrErrors,
                        theCompactBigDocs,
                        RichTextBox1,
                        theCmdAbout,
                        theZipAndRename,
                        theCmdStart,
                        theCmdProtocols,
                        theCmdCancel,
                        theCmdExit};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(theCmdStart, &QPushButton::clicked, this, [this] { theCmdStart_Click(); });
    connect(theCmdCancel, &QPushButton::clicked, this, [this] { theCmdCancel_Click(); });
    connect(theCmdProtocols, &QPushButton::clicked, this, [this] { theCmdProtocols_Click(); });
    connect(theCmdExit, &QPushButton::clicked, this, [this] { theCmdExit_Click(); });
    connect(theCmdAbout, &QPushButton::clicked, this, [this] { cmdAbout_Click(); });
    theLimitMessages->installEventFilter(this);
}

// --- states -------------------------------------------------------------------------

void ProphylaxisFrm::SetBusy() {
    mBusy = true;
    for (QWidget* w : {static_cast<QWidget*>(theCmdStart), static_cast<QWidget*>(theCmdExit),
                       static_cast<QWidget*>(theCmdProtocols), static_cast<QWidget*>(theCmdAbout),
                       static_cast<QWidget*>(theLimitMessages)})
        w->setEnabled(false);
    theCmdCancel->setEnabled(true);
    theProgressText->setVisible(true);
    theProgressBar->setVisible(true);
}

// A stopped run that is still unwinding keeps "Выполнить" and "Выход" (and so the close)
// disabled until it has returned.
void ProphylaxisFrm::SetIdle() {
    mBusy = false;
    theCmdStart->setEnabled(!mRunActive);
    theCmdExit->setEnabled(!mRunActive);
    theCmdProtocols->setEnabled(true);
    theCmdAbout->setEnabled(true);
    theLimitMessages->setEnabled(true);
    theCmdCancel->setEnabled(false);
    if (!mRunActive) ResetProgress();
}

void ProphylaxisFrm::ShowProgress(const std::string& step, int64_t done, int64_t total) {
    if (!step.empty()) theProgressText->setText(QString::fromStdString(step));
    if (total > 0) {
        theProgressBar->setRange(0, 1000);
        const int64_t permille = std::clamp<int64_t>(done, 0, total) * 1000 / total;
        theProgressBar->setValue(static_cast<int>(permille));
    } else {
        theProgressBar->setRange(0, 0);
    }
}

void ProphylaxisFrm::ResetProgress() {
    theProgressText->clear();
    theProgressBar->setRange(0, 1000);
    theProgressBar->setValue(0);
    theProgressText->setVisible(false);
    theProgressBar->setVisible(false);
}

// --- events -------------------------------------------------------------------------

void ProphylaxisFrm::WindowEvent(const std::function<void()>& work) {
    RunWindowEvent(*mUi, windowTitle().toStdString(), work);
}

void ProphylaxisFrm::ReturnToIdleAfterFailure() {
    while (mOverrideCursors > 0) {
        QApplication::restoreOverrideCursor();
        --mOverrideCursors;
    }
    mRunActive = false;
    SetIdle();
    theCmdStart->setFocus();
}

void ProphylaxisFrm::Form_Initialize() {
    const bool ok = RunWindowEvent(*mUi, kInitialTitle, [this] {
        try {
            setWindowTitle(
                QString::fromStdString(" Профилактика базы данных Корунд-5W. Версия " + GetVersion() + "."));
            mRunActive = true;
            SetBusy();
            Prophylaxis(*mCtx, false);
            mRunActive = false;
            SetIdle();
        }
        K5_TRAP(kFrm, "Form_Initialize")
    });
    if (!ok) ReturnToIdleAfterFailure();
}

void ProphylaxisFrm::theCmdStart_Click() {
    // A click queued before the buttons went busy must not start a second run.
    if (mRunActive) return;
    const bool ok = RunWindowEvent(*mUi, windowTitle().toStdString(), [this] {
        try {
            mRunActive = true;
            SetBusy();
            theCmdCancel->setFocus();
            QApplication::setOverrideCursor(Qt::WaitCursor);
            ++mOverrideCursors;
            const std::string notSaved = StartRun(*mCtx);
            QApplication::restoreOverrideCursor();
            --mOverrideCursors;
            mRunActive = false;
            SetIdle();
            if (!notSaved.empty())
                mUi->ShowMessage("Протокол не сохранён: " + notSaved, windowTitle().toStdString(),
                                 BoxIcon::Information);
            theCmdStart->setFocus();
        }
        K5_TRAP(kFrm, "theCmdStart_Click")
    });
    if (!ok) ReturnToIdleAfterFailure();
}

void ProphylaxisFrm::theCmdCancel_Click() {
    WindowEvent([this] {
        try {
            if (mUi->AskYesNo(kCancelQuestion, kInitialTitle, BoxIcon::Question)) {
                mState.mStopRequested = true;
                SetIdle();
            }
        }
        K5_TRAP(kFrm, "theCmdCancel_Click")
    });
}

void ProphylaxisFrm::theCmdProtocols_Click() {
    WindowEvent([this] {
        try {
            if (!mState.mLogFileRtf.empty() && IsFileExists(mState.mLogFileRtf)) {
                mUi->ShowInFileManager(mState.mLogFileRtf, true);
            } else {
                mUi->ShowInFileManager(JoinPath(mState.mDataBaseFolder, kProtocolFolderName) + "/", false);
            }
        }
        K5_TRAP(kFrm, "theCmdProtocols_Click")
    });
}

void ProphylaxisFrm::theCmdExit_Click() {
    WindowEvent([this] {
        try {
            if (!mState.mProphylaxisOk) {
                close();
                return;
            }
            const std::string title = windowTitle().toStdString();
            const Answer answer = mUi->AskYesNoCancel("Запустить Корунд-5W?", title, BoxIcon::Information);
            if (answer == Answer::Cancel) return;
            if (answer == Answer::Yes) {
                const std::string root = GetProductSetting_String(true, "General", "RootPath", "");
                const std::string program = JoinPath(root, "K5W.exe");
                if (IsFileExists(program)) {
                    if (!mUi->StartProgram(program, std::string()))
                        mUi->ShowMessage("Не удалось запустить программу " + program + ".", title,
                                         BoxIcon::Information);
                } else {
                    mUi->ShowMessage("Файл " + program + " не найден на этом компьютере.", title,
                                     BoxIcon::Information);
                }
            }
            close();
        }
        K5_TRAP(kFrm, "theCmdExit_Click")
    });
}

void ProphylaxisFrm::cmdAbout_Click() {
    WindowEvent([this] {
        try {
            AboutFrm about(*mUi, this);
            about.exec();
        }
        K5_TRAP(kFrm, "cmdAbout_Click")
    });
}

void ProphylaxisFrm::Form_QueryUnload(bool& cancel) {
    try {
        cancel = !theCmdStart->isEnabled();
    }
    K5_TRAP(kFrm, "Form_QueryUnload")
}

void ProphylaxisFrm::closeEvent(QCloseEvent* event) {
    bool cancel = true;
    WindowEvent([&] { Form_QueryUnload(cancel); });
    if (cancel)
        event->ignore();
    else
        event->accept();
}

void ProphylaxisFrm::theLimitMessages_GotFocus() {
    try {
        theLimitMessages->selectAll();
        mUi->YieldOnce();
    }
    K5_TRAP(kFrm, "theLimitMessages_GotFocus")
}

void ProphylaxisFrm::theLimitMessages_LostFocus() {
    try {
        mState.mMaxErrorMessages = NormalizeLimit(theLimitMessages->text().toStdString());
        theLimitMessages->setText(QString::number(mState.mMaxErrorMessages));
        mUi->YieldOnce();
    }
    K5_TRAP(kFrm, "theLimitMessages_LostFocus")
}

bool ProphylaxisFrm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == theLimitMessages) {
        if (event->type() == QEvent::FocusIn)
            WindowEvent([this] { theLimitMessages_GotFocus(); });
        else if (event->type() == QEvent::FocusOut)
            WindowEvent([this] { theLimitMessages_LostFocus(); });
    }
    return QWidget::eventFilter(watched, event);
}

// --- layout -------------------------------------------------------------------------

void ProphylaxisFrm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    WindowEvent([this] { Form_Resize(); });
}

void ProphylaxisFrm::Form_Resize() {
    try {
        // A minimised window has no client area to lay out; nothing changes.
        if (isMinimized()) return;

        // 1. The outer size never below the minimum; the window system refuses to resize a
        // maximised or full-screen window, so the step is skipped there.
        const QSize frameExtra = frameGeometry().size() - size();
        setMinimumSize(std::max(0, TwipsToPixelsX(kMinWidthTwips) - frameExtra.width()),
                       std::max(0, TwipsToPixelsY(kMinHeightTwips) - frameExtra.height()));
        if (!isMaximized() && !isFullScreen()) {
            const int outerH = PixelsToTwipsY(frameGeometry().height());
            if (outerH < kMinHeightTwips)
                resize(width(), TwipsToPixelsY(kMinHeightTwips) - frameExtra.height());
            const int outerW = PixelsToTwipsX(frameGeometry().width());
            if (outerW < kMinWidthTwips)
                resize(TwipsToPixelsX(kMinWidthTwips) - frameExtra.width(), height());
        }

        const int cw = PixelsToTwipsX(width());
        const int ch = PixelsToTwipsY(height());
        // A step that would give a negative width or height is skipped; the rest still run.
        auto place = [this](QWidget* w, TwipsRect r) {
            if (r.width < 0 || r.height < 0) return;
            Place(w, r);
        };

        TwipsRect r = Twips(Label1); // 2
        place(Label1, {0, r.top, cw, r.height});
        r = Twips(Frame1); // 3
        place(Frame1, {r.left, r.top, cw - 2 * r.left, r.height});
        const TwipsRect frame = Twips(Frame1);
        r = Twips(Text2); // 4
        place(Text2, {r.left, r.top, frame.width - r.left - 60, r.height});
        const int cancelH = Twips(theCmdCancel).height;
        r = Twips(RichTextBox1); // 5
        place(RichTextBox1, {r.left, r.top, cw - 2 * r.left, ch - r.top - 90 - cancelH - 90});
        r = Twips(theCmdAbout); // 6
        place(theCmdAbout, {300, ch - cancelH - 90, r.width, r.height});
        const TwipsRect about = Twips(theCmdAbout);
        r = Twips(theZipAndRename); // 7
        place(theZipAndRename,
              {about.left + about.width + 200, about.top + (about.height - r.height) / 2, r.width, r.height});
        r = Twips(theCmdExit); // 8
        place(theCmdExit, {cw - r.width - 300, about.top, r.width, r.height});
        const int exitLeft = Twips(theCmdExit).left;
        r = Twips(theCmdCancel); // 9
        place(theCmdCancel, {exitLeft - r.width - 200, about.top, r.width, r.height});
        const int cancelLeft = Twips(theCmdCancel).left;
        r = Twips(theCmdProtocols); // 10
        place(theCmdProtocols, {cancelLeft - r.width - 200, about.top, r.width, r.height});
        const int protocolsLeft = Twips(theCmdProtocols).left;
        r = Twips(theCmdStart); // 11
        place(theCmdStart, {protocolsLeft - r.width - 200, about.top, r.width, r.height});
        // The check box keeps its width; in a narrow window its caption stops short of "Выполнить".
        static_cast<ElidingCheckBox*>(theZipAndRename)
            ->SetCaptionLimit(theCmdStart->x() - theZipAndRename->x() - TwipsToPixelsX(100));

        // The progress line: bar flush with the pane's right edge, step text between it and
        // "Протокол:".
        const int barLeft = cw - kPaneLeftForProgress - kProgressBarWidth;
        place(theProgressBar, {barLeft, kProgressTop, kProgressBarWidth, kProgressHeight});
        place(theProgressText,
              {kProgressTextLeft, kProgressTop, barLeft - 120 - kProgressTextLeft, kProgressHeight});
    }
    K5_TRAP(kFrm, "Form_Resize")
}

// --- protocol pane ------------------------------------------------------------------

namespace {

bool IsBreakAt(const std::u16string& s, int64_t pos) {
    return pos >= 0 && pos + 1 < static_cast<int64_t>(s.size()) && s[pos] == u'\r' && s[pos + 1] == u'\n';
}

} // namespace

void ProphylaxisFrm::RebuildPane() {
    QTextDocument* doc = RichTextBox1->document();
    doc->clear();
    QTextCursor cursor(doc);
    mPaneText.clear();
    for (const RichPane::Run& run : mLog->Pane().Runs()) {
        QTextCharFormat format;
        format.setForeground(RgbToQColor(run.colour));
        format.setFontWeight(run.bold ? QFont::Bold : QFont::Normal);
        cursor.insertText(QString::fromStdU16String(run.text), format);
        mPaneText += run.text;
    }
    mPaneBreaks.clear();
    for (int64_t i = 0; i + 1 < static_cast<int64_t>(mPaneText.size()); ++i)
        if (IsBreakAt(mPaneText, i)) mPaneBreaks.push_back(i);
}

// The model counts CR LF as two characters, the document as one paragraph break: a
// model position maps to the document by subtracting the breaks that lie wholly before it.
void ProphylaxisFrm::OnPaneChange(int64_t start, int64_t length, const std::string& text, uint32_t colour,
                                  bool bold) {
    const std::u16string add = QString::fromStdString(text).toStdU16String();
    const int64_t end = start + length;
    const int64_t oldSize = static_cast<int64_t>(mPaneText.size());
    // An edit that cuts through a CR LF, or that may join a CR and an LF across its edges,
    // changes the paragraph structure in a way the mapping cannot follow: redraw all.
    const bool awkward = end > oldSize || IsBreakAt(mPaneText, start - 1) || IsBreakAt(mPaneText, end - 1) ||
                         (start > 0 && mPaneText[start - 1] == u'\r') ||
                         (end < oldSize && mPaneText[end] == u'\n') ||
                         (!add.empty() && (add.front() == u'\n' || add.back() == u'\r'));
    if (awkward) {
        RebuildPane();
    } else {
        auto before = [this](int64_t pos) {
            return static_cast<int64_t>(std::lower_bound(mPaneBreaks.begin(), mPaneBreaks.end(), pos - 1) -
                                        mPaneBreaks.begin());
        };
        const int64_t docStart = start - before(start);
        const int64_t docEnd = end - before(end);
        QTextCursor cursor(RichTextBox1->document());
        cursor.setPosition(static_cast<int>(docStart));
        cursor.setPosition(static_cast<int>(docEnd), QTextCursor::KeepAnchor);
        QTextCharFormat format;
        format.setForeground(RgbToQColor(colour));
        format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
        if (add.empty())
            cursor.removeSelectedText();
        else
            cursor.insertText(QString::fromStdU16String(add), format);

        // Mirror and break list follow the same edit.
        mPaneText.replace(static_cast<size_t>(start), static_cast<size_t>(length), add);
        const int64_t delta = static_cast<int64_t>(add.size()) - length;
        std::vector<int64_t> breaks;
        breaks.reserve(mPaneBreaks.size() + 4);
        for (int64_t b : mPaneBreaks)
            if (b < start) breaks.push_back(b);
        for (int64_t i = 0; i + 1 < static_cast<int64_t>(add.size()); ++i)
            if (add[i] == u'\r' && add[i + 1] == u'\n') breaks.push_back(start + i);
        for (int64_t b : mPaneBreaks)
            if (b >= end) breaks.push_back(b + delta);
        mPaneBreaks = std::move(breaks);
    }
    // A step under way (a line ending in the pending marker) names the progress line, so
    // that engine calls reporting plain numbers show under the step's own name.
    if (mBusy && mPaneText.size() >= 4 && mPaneText.compare(mPaneText.size() - 4, 4, u" ...") == 0) {
        const size_t lineStart = mPaneText.rfind(u'\n');
        std::u16string line = mPaneText.substr(lineStart == std::u16string::npos ? 0 : lineStart + 1);
        line.resize(line.size() - 4);
        // Without its time stamp ("2021.03.15 09:05:07: ").
        if (line.size() > 21 && line[19] == u':' && line[20] == u' ') line.erase(0, 21);
        theProgressText->setText(QString::fromStdU16String(line));
        theProgressBar->setRange(0, 0);
    }
    // Keep the newest entry in view, as the pane's caret at the end does.
    if (start + static_cast<int64_t>(add.size()) >= static_cast<int64_t>(mPaneText.size())) {
        QScrollBar* bar = RichTextBox1->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

} // namespace k5
