// Product settings read from an INI file in a scratch configuration folder.
#include "TempDir.h"

#include "support/Error.h"
#include "support/Settings.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>
#include <QStringList>
#include <QVariant>

using k5test::TempDir;
using k5test::WriteText;

namespace {

// Points the system scope at a fresh folder and writes Seltaris/Korund5.conf there.
class SettingsFile : public ::testing::Test {
protected:
    void Write(const std::string& contents, QSettings::Scope scope = QSettings::SystemScope) {
        const std::string root = scope == QSettings::SystemScope ? mDir.Sub("system") : mDir.Sub("user");
        QDir().mkpath(QString::fromStdString(root + "/Seltaris"));
        QSettings::setPath(QSettings::NativeFormat, scope, QString::fromStdString(root));
        WriteText(root + "/Seltaris/Korund5.conf", contents);
    }
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope,
                           QString::fromStdString(mDir.Sub("system")));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(mDir.Sub("user")));
    }
    std::string Read(const std::string& section, const std::string& name, bool machine = true) {
        return k5::GetProductSetting_String(machine, section, name, "умолчание");
    }
    TempDir mDir;
};

} // namespace

TEST_F(SettingsFile, AdministratorsGeneralSection) {
    Write("[General]\n"
          "DataBasePath=/srv/k5/База\n"
          "RootPath=/opt/korund5\n"
          "Empty=\n"
          "Count=5\n"
          "List=a, b\n"
          "Quoted=\"/srv/k5/Иванов, ООО\"\n"
          "\n"
          "[Paths]\n"
          "Archive=/srv/archive\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/srv/k5/База");
    EXPECT_EQ(Read("General", "RootPath"), "/opt/korund5");
    EXPECT_EQ(Read("General", "Missing"), "умолчание");
    EXPECT_EQ(Read("General", "Empty"), "");
    EXPECT_EQ(Read("General", "Count"), "5");
    EXPECT_EQ(Read("General", "List"), "умолчание");
    EXPECT_EQ(Read("General", "Quoted"), "/srv/k5/Иванов, ООО");
    EXPECT_EQ(Read("Paths", "Archive"), "/srv/archive");
    EXPECT_EQ(Read("\\Paths\\", "Archive"), "/srv/archive");
    // Keys of another section are not seen under "General" and the reverse.
    EXPECT_EQ(Read("General", "Archive"), "умолчание");
    EXPECT_EQ(Read("Paths", "DataBasePath"), "умолчание");
}

TEST_F(SettingsFile, SectionWrittenByQtItself) {
    Write("[%General]\nDataBasePath=/srv/qt\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/srv/qt");
}

TEST_F(SettingsFile, MissingFileGivesDefault) {
    EXPECT_EQ(Read("General", "DataBasePath"), "умолчание");
}

TEST_F(SettingsFile, ChangesAreSeenAtTheNextCall) {
    Write("[General]\nDataBasePath=/first\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/first");
    Write("[General]\nDataBasePath=/second/longer\n");
    EXPECT_EQ(Read("General", "DataBasePath"), "/second/longer");
}

TEST_F(SettingsFile, MachineAndUserFilesAreKeptApart) {
    Write("[General]\nDataBasePath=/user/own\n", QSettings::UserScope);
    EXPECT_EQ(Read("General", "DataBasePath", true), "умолчание");
    EXPECT_EQ(Read("General", "DataBasePath", false), "/user/own");
    Write("[General]\nRootPath=/machine\n");
    EXPECT_EQ(Read("General", "RootPath", false), "умолчание");
    EXPECT_EQ(Read("General", "RootPath", true), "/machine");
}

TEST(SettingToText, ConversionRules) {
    EXPECT_EQ(k5::SettingToText(QVariant(QString("текст")), "d"), "текст");
    EXPECT_EQ(k5::SettingToText(QVariant(QString("")), "d"), "");
    EXPECT_EQ(k5::SettingToText(QVariant(int(5)), "d"), "5");
    EXPECT_EQ(k5::SettingToText(QVariant(uint(4294967295u)), "d"), "4294967295");
    EXPECT_EQ(k5::SettingToText(QVariant(-7), "d"), "-7");
    EXPECT_EQ(k5::SettingToText(QVariant(QStringList{"a", "b"}), "d"), "d");
    EXPECT_EQ(k5::SettingToText(QVariant(QByteArray("\x01\x02", 2)), "d"), "d");
    EXPECT_EQ(k5::SettingToText(QVariant(), "d"), "d");
}

TEST(ConcatenateRegistryKeys, ExactlyOneBackslash) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"SOFTWARE\\Seltaris\\Korund5", "General", "SOFTWARE\\Seltaris\\Korund5\\General"},
        {"SOFTWARE\\Seltaris\\Korund5\\", "\\General", "SOFTWARE\\Seltaris\\Korund5\\General"},
        {"SOFTWARE\\Seltaris\\Korund5\\", "General", "SOFTWARE\\Seltaris\\Korund5\\General"},
        {"", "General", "General"},
        {"", "\\General", "\\General"},
        {"", "", ""},
        {"SOFTWARE", "", "SOFTWARE\\"},
    };
    for (const auto& [first, second, joined] : cases) {
        EXPECT_EQ(k5::ConcatenateRegistryKeys(first, second), joined) << first << " + " << second;
    }
}
