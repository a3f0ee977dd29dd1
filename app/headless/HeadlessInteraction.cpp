#include "app/headless/HeadlessInteraction.h"

#include "support/Utf8.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace k5 {

namespace {

volatile std::sig_atomic_t gInterrupts = 0;

extern "C" void OnInterrupt(int) {
    gInterrupts = gInterrupts + 1;
    // The second Ctrl+C ends the program the ordinary way.
    std::signal(SIGINT, SIG_DFL);
}

size_t VisibleWidth(const std::string& s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\033') { // skip an escape sequence up to its final letter
            while (i < s.size() && !((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z')))
                ++i;
            continue;
        }
        n += utf8::CodePoints(std::string_view(&s[i], 1));
    }
    return n;
}

size_t TerminalWidth() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

} // namespace

void CatchInterrupts() {
    std::signal(SIGINT, OnInterrupt);
}

HeadlessInteraction::HeadlessInteraction(RunState& state)
    : mState(state), mProgressTty(isatty(STDERR_FILENO) == 1) {}

bool HeadlessInteraction::AskYesNo(const std::string& text, const std::string& caption, BoxIcon) {
    K5_ASSERT(OnOwnerThread());
    Note(caption, text + " -> Нет");
    return false;
}

Answer HeadlessInteraction::AskYesNoCancel(const std::string& text, const std::string& caption, BoxIcon) {
    K5_ASSERT(OnOwnerThread());
    Note(caption, text + " -> Нет");
    return Answer::No;
}

void HeadlessInteraction::ShowMessage(const std::string& text, const std::string& caption, BoxIcon) {
    K5_ASSERT(OnOwnerThread());
    Note(caption, text);
}

std::optional<std::string> HeadlessInteraction::InputBox(const std::string& prompt, const std::string& title,
                                                         const std::string&) {
    K5_ASSERT(OnOwnerThread());
    Note(title, prompt + " -> (пусто)");
    return std::nullopt;
}

void HeadlessInteraction::YieldOnce() {
    K5_ASSERT(OnOwnerThread());
    // A pass of the event loop costs more than copying a small row, and nothing here
    // waits on it but signals: pass at most every 5 ms. Ctrl+C is still seen at once.
    const auto now = std::chrono::steady_clock::now();
    if (now - mLastPump >= std::chrono::milliseconds(5)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        mLastPump = now;
    }
    if (gInterrupts > 0 && !mState.mStopRequested) {
        mState.mStopRequested = true;
        Note("", "Прерывание профилактики запрошено (Ctrl+C).");
    }
}

void HeadlessInteraction::Progress(const std::string& step, int64_t done, int64_t total) {
    K5_ASSERT(OnOwnerThread());
    if (mProgressTty) {
        const auto now = std::chrono::steady_clock::now();
        if (step != mLastStep || now - mLastProgress >= std::chrono::milliseconds(250)) {
            mLastStep = step;
            mLastProgress = now;
            std::string info = "[" + step + ": " + std::to_string(done);
            if (total > 0)
                info += " из " + std::to_string(total) + ", " + std::to_string(done * 100 / total) + "%";
            info += "]";
            const std::string prefix = mScreenLine && !mScreenLine->empty() ? *mScreenLine + " " : "";
            // A wrapped line cannot be redrawn in place: no progress then.
            if (VisibleWidth(prefix + info) >= TerminalWidth()) return YieldOnce();
            std::fputs(("\r\033[K" + prefix + info).c_str(), stderr);
            std::fflush(stderr);
            mProgressShown = true;
        }
    }
    YieldOnce();
}

bool HeadlessInteraction::StartProgram(const std::string& program, const std::string&) {
    K5_ASSERT(OnOwnerThread());
    Note("", "Запуск " + program + " без окна не выполняется.");
    return false;
}

bool HeadlessInteraction::ShowInFileManager(const std::string&, bool) {
    K5_ASSERT(OnOwnerThread());
    return false;
}

void HeadlessInteraction::ClearProgress() {
    if (!mProgressShown) return;
    const std::string redraw = mScreenLine ? *mScreenLine : std::string();
    std::fputs(("\r\033[K" + redraw).c_str(), stderr);
    std::fflush(stderr);
    mProgressShown = false;
}

void HeadlessInteraction::Note(const std::string& caption, const std::string& text) {
    ClearProgress();
    std::fflush(stdout);
    const std::string line = caption.empty() ? text : caption + ": " + text;
    // Below the protocol's unfinished line, if any.
    const bool midLine = mScreenLine && !mScreenLine->empty();
    std::fprintf(stderr, "%s%s\n", midLine ? "\n" : "", line.c_str());
}

} // namespace k5
