// The error trail seen from the top: location lines, outermost first.
#include "TempDir.h"

#include "support/Common.h"

using k5test::Caught;

namespace {

// Three named procedures, each calling the next; the innermost raises the error.
void Level(int depth, const std::string& description, int32_t line) {
    static const char* const names[][2] = {
        {"ProphylaxisFrm", "theCmdStart_Click"}, {"", "Middle"}, {"mInner", "Innermost"}};
    try {
        if (depth == 2) k5::RaiseError(5, description, line);
        Level(depth + 1, description, line);
    }
    K5_TRAP(names[depth][0], names[depth][1])
}

} // namespace

TEST(ErrorTrail, ThreeLevelsOutermostFirstThenSourceThenDescription) {
    // The line number appears only on the level that failed.
    for (const auto& [line, mark] : {std::pair{0, ""}, std::pair{120, " (120)"}}) {
        k5::K5Error e = Caught([line] { Level(0, "Первое описание", line); });
        EXPECT_EQ(e.Number(), 5);
        EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::ProphylaxisFrm.theCmdStart_Click]\r\n"
                                   "[K5VedovodeduzOR::?.Middle]\r\n"
                                   "[K5VedovodeduzOR::mInner.Innermost" +
                                       std::string(mark) + "]\r\n[K5VedovodeduzOR]\r\nПервое описание");
    }
    // A description that starts with a break gets no second one; a detail follows the location.
    EXPECT_EQ(Caught([] { Level(2, "\r\nтекст", 0); }).Description(),
              "[K5VedovodeduzOR::mInner.Innermost]\r\n[K5VedovodeduzOR]\r\nтекст");
    k5::K5Error e = Caught([] {
        try {
            k5::RaiseError(3, "d");
        }
        K5_TRAP_DETAIL("mZipper", "", "Таблица: T, поле: F")
    });
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::mZipper] {Таблица: T, поле: F}\r\n[K5VedovodeduzOR]\r\nd");
}
