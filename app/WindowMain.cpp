#include "app/WindowMain.h"

#include "app/Headless.h"
#include "app/ProphylaxisFrm.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

void NameApplication() {
    QApplication::setApplicationName(QStringLiteral("K5VedovodeduzOR"));
    QApplication::setDesktopFileName(QStringLiteral("K5VedovodeduzOR"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("K5VedovodeduzOR")));
}

int RunWindow(int argc, char** argv) {
    // The application object takes Qt's own options out of the arguments; what is left is
    // not ours to guess at.
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() > 1) {
        std::fprintf(stderr, "K5VedovodeduzOR: неизвестный параметр: %s\n\n%s",
                     args.at(1).toLocal8Bit().constData(), HeadlessUsage());
        return 2;
    }
    NameApplication();
    k5::ProphylaxisFrm frm;
    frm.Form_Initialize();
    frm.show();
    return app.exec();
}
