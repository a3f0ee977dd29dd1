// Product settings read from INI files found as the desktop finds them: through
// XDG_CONFIG_DIRS (the machine's) and XDG_CONFIG_HOME (the user's), set here as a session would.
#include "TempDir.h"

#include "support/Settings.h"

#include <QVariant>

#include <cstdlib>

namespace {

struct Settings : ::testing::Test {
    k5test::TempDir dir;
    void SetUp() override {
        // A desktop session puts its own folder first; the administrator's file lies in the second.
        setenv("XDG_CONFIG_DIRS", (dir.Sub("session") + ":relative/xdg:" + dir.Sub("etc")).c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.Sub("home").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_DIRS");
        unsetenv("XDG_CONFIG_HOME");
    }
    void Write(const std::string& folder, const std::string& text) {
        QDir().mkpath(QString::fromStdString(dir.Sub(folder + "/Seltaris")));
        k5test::WriteText(dir.Sub(folder + "/Seltaris/Korund5.conf"), text);
    }
    static std::string Read(const std::string& section, const std::string& name, bool machine = true) {
        return k5::GetProductSetting_String(machine, section, name, "умолчание");
    }
};

} // namespace

TEST_F(Settings, FoldersInXdgOrderAndConversionRules) {
    EXPECT_EQ(Read("General", "DataBasePath"), "умолчание"); // no file yet
    Write("etc", "[General]\nDataBasePath=/srv/k5/База\nRootPath=/opt/k5\nEmpty=\nList=a, b\n\n"
                 "[Paths]\nArchive=/srv/archive\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/srv/k5/База");
    // A folder earlier in the list wins for the names it holds, and only for those.
    Write("session", "[General]\nRootPath=/usr/local/k5\n");
    EXPECT_EQ(Read("General", "RootPath"), "/usr/local/k5");
    EXPECT_EQ(Read("General", "DataBasePath"), "/srv/k5/База");
    EXPECT_EQ(Read("General", "Missing"), "умолчание");
    EXPECT_EQ(Read("General", "Empty"), "");
    EXPECT_EQ(Read("General", "List"), "умолчание");
    EXPECT_EQ(Read("\\Paths\\", "Archive"), "/srv/archive");
    EXPECT_EQ(Read("General", "Archive"), "умолчание"); // another section's key
    // The user's own file is read only for the user's settings.
    Write("home", "[General]\nDataBasePath=/home/user/db\n");
    EXPECT_EQ(Read("General", "DataBasePath", false), "/home/user/db");
    EXPECT_EQ(Read("General", "DataBasePath"), "/srv/k5/База");
    // A number gives its decimal text, other types the default.
    EXPECT_EQ(k5::SettingToText(QVariant(-7), "d"), "-7");
    EXPECT_EQ(k5::SettingToText(QVariant(QByteArray("\x01\x02", 2)), "d"), "d");
}

// The INI syntax the README gives administrators: ";" starts a comment, "\" escapes, a
// comma makes a list; double quotes keep ";" and ",", "\\" is one backslash; names are
// case-sensitive; a section written "[%General]" is the same section.
TEST_F(Settings, ValueSyntaxForAdministrators) {
    Write("etc", "[General]\nDataBasePath=/srv/k5;old\nRootPath=\"/srv/Иванов, ООО;2\"\n"
                 "Share=\"\\\\\\\\server\\\\k5\"\nTabbed=a\\tb\ndatabasepath=/lower\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/srv/k5");
    EXPECT_EQ(Read("General", "RootPath"), "/srv/Иванов, ООО;2");
    EXPECT_EQ(Read("General", "Share"), "\\\\server\\k5");
    EXPECT_EQ(Read("General", "Tabbed"), "a\tb");
    Write("etc", "[%General]\nDataBasePath=/srv/percent\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/srv/percent");
}
