// Product settings read from an INI file in a scratch configuration folder.
#include "TempDir.h"

#include "support/Settings.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

using k5test::TempDir;

namespace {

// Points both scopes at a fresh folder; Write puts Seltaris/Korund5.conf into one of them.
class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, Root(true));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Root(false));
    }
    QString Root(bool machine) const { return QString::fromStdString(mDir.Sub(machine ? "system" : "user")); }
    void Write(const std::string& contents, bool machine = true) {
        QDir().mkpath(Root(machine) + "/Seltaris");
        k5test::WriteText((Root(machine) + "/Seltaris/Korund5.conf").toStdString(), contents);
    }
    std::string Read(const std::string& section, const std::string& name, bool machine = true) {
        return k5::GetProductSetting_String(machine, section, name, "умолчание");
    }
    TempDir mDir;
};

} // namespace

TEST_F(SettingsFile, AdministratorsGeneralSection) {
    EXPECT_EQ(Read("General", "DataBasePath"), "умолчание"); // no file yet
    Write("[General]\n"
          "DataBasePath=/srv/k5/База\n"
          "Empty=\n"
          "Count=5\n"
          "List=a, b\n"
          "Quoted=\"/srv/k5/Иванов, ООО\"\n"
          "\n"
          "[Paths]\n"
          "Archive=/srv/archive\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/srv/k5/База");
    EXPECT_EQ(Read("General", "Missing"), "умолчание");
    EXPECT_EQ(Read("General", "Empty"), "");
    EXPECT_EQ(Read("General", "Count"), "5");
    EXPECT_EQ(Read("General", "List"), "умолчание");
    EXPECT_EQ(Read("General", "Quoted"), "/srv/k5/Иванов, ООО");
    EXPECT_EQ(Read("\\Paths\\", "Archive"), "/srv/archive");
    // Keys of another section are not seen, and the user's file is not the machine's.
    EXPECT_EQ(Read("General", "Archive"), "умолчание");
    EXPECT_EQ(Read("General", "DataBasePath", false), "умолчание");
    // Changes are seen at the next call; a section written by Qt itself is read too.
    Write("[%General]\nDataBasePath=/second/longer\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/second/longer");
    Write("[General]\nDataBasePath=/user/own\n", false);
    EXPECT_EQ(Read("General", "DataBasePath", false), "/user/own");
    EXPECT_EQ(Read("General", "DataBasePath", true), "/second/longer");
}

// Values of other types than those an INI file gives.
TEST(SettingToText, ConversionRules) {
    EXPECT_EQ(k5::SettingToText(QVariant(uint(4294967295u)), "d"), "4294967295");
    EXPECT_EQ(k5::SettingToText(QVariant(-7), "d"), "-7");
    EXPECT_EQ(k5::SettingToText(QVariant(QByteArray("\x01\x02", 2)), "d"), "d");
}

TEST(ConcatenateRegistryKeys, ExactlyOneBackslash) {
    EXPECT_EQ(k5::ConcatenateRegistryKeys("SOFTWARE\\Seltaris\\Korund5\\", "\\General"),
              "SOFTWARE\\Seltaris\\Korund5\\General");
    EXPECT_EQ(k5::ConcatenateRegistryKeys("SOFTWARE\\Seltaris", "Korund5"), "SOFTWARE\\Seltaris\\Korund5");
}
