// The error trail seen from the top: location lines, outermost first.
#include "TempDir.h"

#include "support/FileUtils.h"

#include <cerrno>
#include <cstring>

using k5test::Caught;

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

} // namespace

TEST(ErrorTrail, ThreeLevelsOutermostFirstThenSourceThenDescription) {
    // The line number appears only on the level that failed.
    for (const auto& [line, mark] : {std::pair{0, ""}, std::pair{120, " (120)"}}) {
        k5::K5Error e = Caught([line] { Outer("Первое описание", line); });
        EXPECT_EQ(e.Number(), 5);
        EXPECT_EQ(e.Source(), "");
        EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::ProphylaxisFrm.theCmdStart_Click]\r\n"
                                   "[K5VedovodeduzOR::?.Middle]\r\n"
                                   "[K5VedovodeduzOR::mInner.Innermost" +
                                       std::string(mark) + "]\r\n[K5VedovodeduzOR]\r\nПервое описание");
    }
}

// A description that starts with a break gets no second one; a detail follows the location.
TEST(ErrorTrail, LeadingBreakDetailAndEmptyProcedure) {
    EXPECT_EQ(Caught([] { Innermost("\r\nтекст", 0); }).Description(),
              "[K5VedovodeduzOR::mInner.Innermost]\r\n[K5VedovodeduzOR]\r\nтекст");
    EXPECT_EQ(Caught([] { Innermost("\nтекст", 0); }).Description(),
              "[K5VedovodeduzOR::mInner.Innermost]\r\n[K5VedovodeduzOR]\nтекст");
    k5::K5Error e = Caught([] {
        try {
            k5::RaiseError(3, "d");
        }
        K5_TRAP_DETAIL("mZipper", "", "Таблица: T, поле: F")
    });
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::mZipper] {Таблица: T, поле: F}\r\n[K5VedovodeduzOR]\r\nd");
}

TEST(ErrorTrail, SystemErrorOfALibraryCallClimbsWithItsNumberUnlessSilent) {
    const std::string path = "/nonexistent-k5-folder/нет такого.mdb";
    EXPECT_FALSE(k5::DeleteFile(path, true));
    k5::K5Error e = Caught([&] {
        try {
            k5::DeleteFile(path, false);
        }
        K5_TRAP("ProphylaxisFrm", "MakeProphylaxis")
    });
    EXPECT_EQ(e.Number(), ENOENT);
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::ProphylaxisFrm.MakeProphylaxis]\r\n"
                               "[K5VedovodeduzOR::mK5FilesOld.DeleteFile]\r\n[K5VedovodeduzOR]\r\n"
                               "Ошибка при удалении файла \"" +
                                   path + "\":\r\n" + std::strerror(ENOENT));
}
