#pragma once
// The main window: options, protocol pane, run control; owns the run state.
#include "maintenance/Context.h"
#include "protocol/RunProtocol.h"
#include "protocol/RunState.h"
#include "support/UserInteraction.h"

#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTextEdit;

namespace k5 {

class EngineProgressReport;
class PaneMirror;
class QtInteraction;

// Geometry in twips (1/1440 inch), as the layout rules are written.
struct TwipsRect {
    int left = 0, top = 0, width = 0, height = 0;
};

class ProphylaxisFrm : public QWidget {
    Q_OBJECT
public:
    // With no `ui` the window talks to the user through Qt boxes of its own; tests pass a
    // scripted user, and an Env of their own.
    explicit ProphylaxisFrm(UserInteraction* ui = nullptr, QWidget* parent = nullptr, Env& env = Env::Default());
    ~ProphylaxisFrm() override;

    // Start-up: title, busy, the check pass without the run flag, idle. Called once after
    // creation, before the window is shown.
    void Form_Initialize();

    // Handlers of the buttons (the buttons' clicked signals call these).
    void theCmdStart_Click();
    void theCmdCancel_Click();
    void theCmdProtocols_Click();
    void theCmdExit_Click();
    void cmdAbout_Click();

    // Layout of the controls for the window's current size.
    void Form_Resize();

    // Twips <-> pixels at the screen's real resolution.
    int TwipsToPixelsX(int twips) const;
    int TwipsToPixelsY(int twips) const;
    int PixelsToTwipsX(int pixels) const;
    int PixelsToTwipsY(int pixels) const;
    // The geometry the layout last gave a control (twips, relative to its parent).
    TwipsRect Twips(const QWidget* control) const;

    RunState& State() { return mState; }
    RunProtocol& Protocol() { return *mLog; }
    MaintenanceContext& Context() { return *mCtx; }
    UserInteraction& Ui() { return *mUi; }
    // True from "Выполнить" until the run has returned (also after a confirmed stop).
    bool RunActive() const { return mRunActive; }
    // The window's own Qt user, when it has one (null with an injected user).
    QtInteraction* OwnInteraction() { return mOwnUi.get(); }

    static constexpr int kMinWidthTwips = 9000;
    static constexpr int kMinHeightTwips = 6000;

    // Controls, named as the window's own.
    QLabel* Label1;
    QGroupBox* Frame1;
    QLabel* Label3;
    QLineEdit* Text2;
    QLabel* Label4;
    QLineEdit* theLimitMessages;
    QLabel* Label5;
    QCheckBox* theRemoveOrphaned;
    QCheckBox* theClearPfrErrors;
    QCheckBox* theRemoveOrphanedBigDocs;
    QCheckBox* theCompactBigDocs;
    QCheckBox* theZipAndRename;
    QLabel* Label2;
    QTextEdit* RichTextBox1;
    QPushButton* theCmdStart;
    QPushButton* theCmdCancel;
    QPushButton* theCmdProtocols;
    QPushButton* theCmdExit;
    QPushButton* theCmdAbout;
    // How far the step under way is: its name and a bar, on the line of "Протокол:".
    QLabel* theProgressText;
    QProgressBar* theProgressBar;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class WindowOptions;

    // ProphylaxisLayout.cpp: the controls, their places and fonts.
    void CreateControls();
    void InitialLayout();
    void FitFonts();
    void AlignLabels();
    void FrameCaptionOnItsLine();
    void SetBusy();
    void SetIdle();
    void Form_QueryUnload(bool& cancel);
    void theLimitMessages_GotFocus();
    void theLimitMessages_LostFocus();
    void ShowProgress(const std::string& step, int64_t done, int64_t total);
    void ResetProgress();
    // Runs a window event; a failure is shown and the window goes back to idle.
    void WindowEvent(const std::function<void()>& work);
    void ReturnToIdleAfterFailure();

    void Place(QWidget* control, const TwipsRect& rect);

    RunState mState;
    std::unique_ptr<QtInteraction> mOwnUi;
    UserInteraction* mUi;
    std::unique_ptr<RunProtocol> mLog;
    std::unique_ptr<WindowOptions> mOptions;
    std::unique_ptr<db::DBEngine> mEngine;
    std::unique_ptr<MaintenanceContext> mCtx;
    std::unique_ptr<EngineProgressReport> mEngineProgress;
    std::unique_ptr<PaneMirror> mPaneMirror;
    std::map<const QWidget*, TwipsRect> mTwips;
    bool mRunActive = false;
    bool mBusy = false;
    int mOverrideCursors = 0;
    bool mInResize = false;
};

} // namespace k5
