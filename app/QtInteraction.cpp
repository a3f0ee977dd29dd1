#include "app/QtInteraction.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QUrl>

namespace k5 {

namespace {

QString Q(const std::string& s) {
    // The protocol's line ends are CR LF; a box wants plain LF.
    return QString::fromStdString(s).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QMessageBox::Icon ToQt(BoxIcon icon) {
    switch (icon) {
    case BoxIcon::Question:
        return QMessageBox::Question;
    case BoxIcon::Warning:
        return QMessageBox::Warning;
    case BoxIcon::Information:
        return QMessageBox::Information;
    case BoxIcon::Critical:
        return QMessageBox::Critical;
    case BoxIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

// The normal arrow while a box is up, even when a run shows the hourglass; the pointer
// of the run comes back afterwards.
class ArrowWhileShown {
public:
    ArrowWhileShown() : mActive(QApplication::overrideCursor() != nullptr) {
        if (mActive) QApplication::setOverrideCursor(Qt::ArrowCursor);
    }
    ~ArrowWhileShown() {
        if (mActive) QApplication::restoreOverrideCursor();
    }
    ArrowWhileShown(const ArrowWhileShown&) = delete;
    ArrowWhileShown& operator=(const ArrowWhileShown&) = delete;

private:
    bool mActive;
};

constexpr auto kProgressInterval = std::chrono::milliseconds(30);
constexpr auto kYieldInterval = std::chrono::milliseconds(5);

} // namespace

QtInteraction::QtInteraction(QWidget* parent) : mParent(parent) {
    ResetGapMeasure();
}

bool QtInteraction::AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) {
    K5_ASSERT(OnOwnerThread());
    ArrowWhileShown arrow;
    QMessageBox box(ToQt(icon), Q(caption), Q(text), QMessageBox::Yes | QMessageBox::No, mParent);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
    box.button(QMessageBox::No)->setText(QStringLiteral("Нет"));
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    const bool yes = box.exec() == QMessageBox::Yes;
    Pump();
    return yes;
}

Answer QtInteraction::AskYesNoCancel(const std::string& text, const std::string& caption, BoxIcon icon) {
    K5_ASSERT(OnOwnerThread());
    ArrowWhileShown arrow;
    QMessageBox box(ToQt(icon), Q(caption), Q(text), QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                    mParent);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
    box.button(QMessageBox::No)->setText(QStringLiteral("Нет"));
    box.button(QMessageBox::Cancel)->setText(QStringLiteral("Отмена"));
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Cancel);
    const int r = box.exec();
    Pump();
    if (r == QMessageBox::Yes) return Answer::Yes;
    if (r == QMessageBox::No) return Answer::No;
    return Answer::Cancel;
}

void QtInteraction::ShowMessage(const std::string& text, const std::string& caption, BoxIcon icon) {
    K5_ASSERT(OnOwnerThread());
    ArrowWhileShown arrow;
    QMessageBox box(ToQt(icon), Q(caption), Q(text), QMessageBox::Ok, mParent);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
    box.exec();
    Pump();
}

std::optional<std::string> QtInteraction::InputBox(const std::string& prompt, const std::string& title,
                                                   const std::string& defaultText) {
    K5_ASSERT(OnOwnerThread());
    ArrowWhileShown arrow;
    QInputDialog dlg(mParent);
    dlg.setInputMode(QInputDialog::TextInput);
    dlg.setWindowTitle(Q(title));
    dlg.setLabelText(Q(prompt));
    dlg.setTextValue(QString::fromStdString(defaultText));
    dlg.setOkButtonText(QStringLiteral("OK"));
    dlg.setCancelButtonText(QStringLiteral("Отмена"));
    const bool ok = dlg.exec() == QDialog::Accepted;
    Pump();
    if (!ok) return std::nullopt;
    return dlg.textValue().toStdString();
}

void QtInteraction::ResetGapMeasure() {
    mLastPump = std::chrono::steady_clock::now();
    mLongestGap = std::chrono::microseconds(0);
    mLongestGapPlace.clear();
    mGapsOver100ms = 0;
    mLongGaps.clear();
}

void QtInteraction::Pump() {
    const auto now = std::chrono::steady_clock::now();
    const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(now - mLastPump);
    if (gap > std::chrono::milliseconds(100)) {
        ++mGapsOver100ms;
        if (mLongGaps.size() < 500)
            mLongGaps.emplace_back(gap, describePoint ? describePoint() : std::string());
    }
    if (gap > mLongestGap) {
        mLongestGap = gap;
        mLongestGapPlace = describePoint ? describePoint() : std::string();
    }
    QCoreApplication::processEvents();
    // The time spent in handlers run from here (a question box) is not a frozen window.
    mLastPump = std::chrono::steady_clock::now();
}

void QtInteraction::YieldOnce() {
    K5_ASSERT(OnOwnerThread());
    // A pass of the event loop costs more than copying a small row: at most one every 5 ms,
    // which no click or repaint notices.
    if (std::chrono::steady_clock::now() - mLastPump >= kYieldInterval) Pump();
}

void QtInteraction::Progress(const std::string& step, int64_t done, int64_t total) {
    K5_ASSERT(OnOwnerThread());
    const auto now = std::chrono::steady_clock::now();
    const bool stepChanged = !step.empty() && step != mLastStep;
    const bool complete = total > 0 && done >= total;
    if (progressSink && (stepChanged || complete || now - mLastProgressShown >= kProgressInterval)) {
        if (!step.empty()) mLastStep = step;
        progressSink(step, done, total);
        mLastProgressShown = now;
    }
    YieldOnce();
}

bool QtInteraction::StartProgram(const std::string& program, const std::string& argument) {
    K5_ASSERT(OnOwnerThread());
    const QString path = QString::fromStdString(program);
    QStringList args;
    if (!argument.empty()) args << QString::fromStdString(argument);
    const QString dir = QFileInfo(path).absolutePath();
    return QProcess::startDetached(path, args, dir);
}

bool QtInteraction::ShowInFileManager(const std::string& path, bool selectFile) {
    K5_ASSERT(OnOwnerThread());
    const QFileInfo info(QString::fromStdString(path));
    const QString absolute = info.absoluteFilePath();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"),
            selectFile ? QStringLiteral("ShowItems") : QStringLiteral("ShowFolders"));
        call << QStringList{QUrl::fromLocalFile(absolute).toString()} << QString();
        // A file manager that is not running gets started by the bus; give it a few seconds.
        const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
        if (reply.type() == QDBusMessage::ReplyMessage) return true;
    }
    const QString folder = selectFile ? info.absolutePath() : absolute;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

} // namespace k5
