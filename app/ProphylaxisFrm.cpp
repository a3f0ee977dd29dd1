#include "app/ProphylaxisFrm.h"

#include "app/AboutFrm.h"
#include "app/PaneMirror.h"
#include "app/QtInteraction.h"
#include "app/WindowUtil.h"
#include "maintenance/FrontEnd.h"
#include "maintenance/Prophylaxis.h"
#include "maintenance/RunStart.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"
#include "support/Settings.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>

#include <algorithm>

namespace k5 {

namespace {

const char* const kInitialTitle = "Профилактика базы данных Корунд-5W.";
const char* const kCancelQuestion = "Отменить профилактику БД?";

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
    mEngine = MakeRunEngine(env);
    mCtx = std::make_unique<MaintenanceContext>(
        MaintenanceContext{mState, *mLog, *mUi, env, *mOptions, *mEngine});
    // Long engine calls (compaction) report through the same indicator and yield.
    mEngineProgress = std::make_unique<EngineProgressReport>(
        *mEngine,
        [this](int64_t done, int64_t total) { mUi->Progress(std::string(), done, total); });

    CreateControls();
    mPaneMirror = std::make_unique<PaneMirror>(*RichTextBox1);
    // A step under way names the progress line, so that engine calls reporting plain
    // numbers show under the step's own name.
    mPaneMirror->onStepBegun = [this](const std::string& step) {
        if (!mBusy) return;
        theProgressText->setText(QString::fromStdString(step));
        theProgressBar->setRange(0, 0);
    };
    mLog->AddListener(*mPaneMirror);
    setWindowTitle(QString::fromUtf8(kInitialTitle));
    InitialLayout();
    SetIdle();
}

ProphylaxisFrm::~ProphylaxisFrm() {
    // The focus handlers need the run state, which goes before the child controls do.
    theLimitMessages->removeEventFilter(this);
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

} // namespace k5
