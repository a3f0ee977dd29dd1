// The error trail seen from the top: location lines, outermost first.
#include "support/Error.h"
#include "support/FileUtils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

namespace {

void Innermost(const std::string& description, int32_t line) {
    try {
        k5::RaiseError(5, description, line);
    }
    K5_TRAP("mInner", "Innermost")
}

void Middle(const std::string& description, int32_t line) {
    try {
        Innermost(description, line);
    }
    K5_TRAP("", "Middle")
}

void Outer(const std::string& description, int32_t line) {
    try {
        Middle(description, line);
    }
    K5_TRAP("ProphylaxisFrm", "theCmdStart_Click")
}

k5::K5Error Catch(const std::function<void()>& f) {
    try {
        f();
    } catch (const k5::K5Error& e) {
        return e;
    }
    ADD_FAILURE() << "no error reached the top";
    return k5::K5Error(0, "", "");
}

} // namespace

TEST(ErrorTrail, ThreeLevelsOutermostFirstThenSourceThenDescription) {
    k5::K5Error e = Catch([] { Outer("Первое описание", 0); });
    EXPECT_EQ(e.Number(), 5);
    EXPECT_EQ(e.Source(), "");
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::ProphylaxisFrm.theCmdStart_Click]\r\n"
                               "[K5VedovodeduzOR::?.Middle]\r\n"
                               "[K5VedovodeduzOR::mInner.Innermost]\r\n"
                               "[K5VedovodeduzOR]\r\n"
                               "Первое описание");
}

TEST(ErrorTrail, LineNumberOnlyOnTheLevelThatFailed) {
    k5::K5Error e = Catch([] { Outer("x", 120); });
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::ProphylaxisFrm.theCmdStart_Click]\r\n"
                               "[K5VedovodeduzOR::?.Middle]\r\n"
                               "[K5VedovodeduzOR::mInner.Innermost (120)]\r\n"
                               "[K5VedovodeduzOR]\r\n"
                               "x");
}

TEST(ErrorTrail, DescriptionStartingWithBreakGetsNoExtraBreak) {
    k5::K5Error crlf = Catch([] { Innermost("\r\nтекст", 0); });
    EXPECT_EQ(crlf.Description(), "[K5VedovodeduzOR::mInner.Innermost]\r\n[K5VedovodeduzOR]\r\nтекст");
    k5::K5Error lf = Catch([] { Innermost("\nтекст", 0); });
    EXPECT_EQ(lf.Description(), "[K5VedovodeduzOR::mInner.Innermost]\r\n[K5VedovodeduzOR]\nтекст");
}

TEST(ErrorTrail, DetailAndEmptyProcedure) {
    k5::K5Error e = Catch([] {
        try {
            k5::RaiseError(3, "d");
        }
        K5_TRAP_DETAIL("mZipper", "", "Таблица: T, поле: F")
    });
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::mZipper] {Таблица: T, поле: F}\r\n[K5VedovodeduzOR]\r\nd");
}

TEST(ErrorTrail, SystemErrorOfALibraryCallClimbsWithItsNumber) {
    const std::string path = "/nonexistent-k5-folder/file.mdb";
    k5::K5Error e = Catch([&] {
        try {
            k5::DeleteFile(path, false);
        }
        K5_TRAP("ProphylaxisFrm", "MakeProphylaxis")
    });
    EXPECT_EQ(e.Number(), ENOENT);
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::ProphylaxisFrm.MakeProphylaxis]\r\n"
                               "[K5VedovodeduzOR::mK5FilesOld.DeleteFile]\r\n"
                               "[K5VedovodeduzOR]\r\n"
                               "Ошибка при удалении файла \"" +
                                   path + "\":\r\n" + k5::GetApiErrorText(ENOENT));
}
