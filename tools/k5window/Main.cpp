// The window driven by a script, for screenshots and responsiveness measurements; not part
// of the installed program.
//   k5window [--tick-all] [--minimum] [--screenshot-dir DIR]
// shows the main window as the program does (at its minimum size with --minimum), ticks
// every option check box with --tick-all (a full run), presses "Выполнить", reports the longest gap between
// two event-loop passes on stderr, saves images of the main window after the run and of the About window into
// DIR when given, and quits.
#include "app/AboutFrm.h"
#include "app/ProphylaxisFrm.h"
#include "app/QtInteraction.h"
#include "app/WindowMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

void AutoRun(k5::ProphylaxisFrm& frm, const QString& screenshotDir) {
    k5::QtInteraction* qtUi = frm.OwnInteraction();
    if (qtUi) qtUi->ResetGapMeasure();
    frm.theCmdStart->click();
    if (qtUi) {
        std::fprintf(stderr, "longest event-loop gap: %.1f ms, ending at: %s\ngaps over 100 ms: %lld\n",
                     static_cast<double>(qtUi->LongestGap().count()) / 1000.0,
                     qtUi->LongestGapPlace().c_str(), static_cast<long long>(qtUi->GapsOver100ms()));
        for (const auto& [gap, place] : qtUi->LongGaps())
            std::fprintf(stderr, "  %.1f ms: %s\n", static_cast<double>(gap.count()) / 1000.0, place.c_str());
    }
    if (!screenshotDir.isEmpty()) {
        QDir().mkpath(screenshotDir);
        QApplication::processEvents();
        frm.grab().save(QDir(screenshotDir).filePath(QStringLiteral("main-window.png")));
        k5::AboutFrm about(frm.Ui(), &frm);
        about.show();
        QApplication::processEvents();
        about.grab().save(QDir(screenshotDir).filePath(QStringLiteral("about-window.png")));
        about.close();
    }
    QApplication::quit();
}

} // namespace

int main(int argc, char** argv) {
    bool tickAll = false;
    bool minimum = false;
    QString screenshotDir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tick-all") == 0) {
            tickAll = true;
        } else if (std::strcmp(argv[i], "--minimum") == 0) {
            minimum = true;
        } else if (std::strcmp(argv[i], "--screenshot-dir") == 0 && i + 1 < argc) {
            screenshotDir = QString::fromLocal8Bit(argv[++i]);
        } else {
            std::fprintf(stderr, "k5window [--tick-all] [--minimum] [--screenshot-dir DIR]\n");
            return 2;
        }
    }
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    NameApplication();
    k5::ProphylaxisFrm frm;
    frm.Form_Initialize();
    frm.show();
    if (minimum) frm.resize(1, 1); // springs back to the minimum
    if (tickAll)
        for (QCheckBox* box : {frm.theRemoveOrphaned, frm.theClearPfrErrors, frm.theRemoveOrphanedBigDocs,
                               frm.theCompactBigDocs, frm.theZipAndRename})
            box->setChecked(true);
    QTimer::singleShot(0, &frm, [&frm, screenshotDir] { AutoRun(frm, screenshotDir); });
    return app.exec();
}
