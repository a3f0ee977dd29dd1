#pragma once
// Switches LC_NUMERIC to a locale whose decimal mark is a comma for as long as it lives, as
// QApplication does under ru_RU.UTF-8. The locale is compiled into a scratch folder when the
// system has none installed.
#include <QProcess>
#include <QTemporaryDir>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace k5test {

class CommaLocale {
public:
    CommaLocale() : mPrevious(std::setlocale(LC_NUMERIC, nullptr)) {
        bool ok = std::setlocale(LC_NUMERIC, "ru_RU.UTF-8") != nullptr;
        // Compiled once per test program.
        static QTemporaryDir dir;
        static const bool compiled =
            !ok && dir.isValid() &&
            QProcess::execute("localedef", {"-i", "ru_RU", "-f", "UTF-8", dir.path() + "/ru"}) >= 0;
        if (compiled) {
            setenv("LOCPATH", dir.path().toLocal8Bit().constData(), 1);
            ok = std::setlocale(LC_NUMERIC, "ru") != nullptr;
            unsetenv("LOCPATH");
        }
        char probe[16];
        std::snprintf(probe, sizeof probe, "%.1f", 1.5);
        mActive = ok && std::string(probe) == "1,5";
        if (!mActive) std::setlocale(LC_NUMERIC, mPrevious.c_str());
    }
    ~CommaLocale() { std::setlocale(LC_NUMERIC, mPrevious.c_str()); }
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

    // False when no comma locale could be set up (the caller skips).
    bool Active() const { return mActive; }

private:
    std::string mPrevious;
    bool mActive = false;
};

} // namespace k5test
