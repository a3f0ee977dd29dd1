// Product settings read from an INI file in a scratch configuration folder.
#include "TempDir.h"

#include "support/Settings.h"

#include <QSettings>
#include <QVariant>

TEST(Settings, AdministratorsFileAndConversionRules) {
    k5test::TempDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope,
                       QString::fromStdString(dir.Sub("system")));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(dir.Sub("user")));
    auto read = [](const std::string& section, const std::string& name, bool machine = true) {
        return k5::GetProductSetting_String(machine, section, name, "умолчание");
    };
    EXPECT_EQ(read("General", "DataBasePath"), "умолчание"); // no file yet
    QDir().mkpath(QString::fromStdString(dir.Sub("system/Seltaris")));
    k5test::WriteText(dir.Sub("system/Seltaris/Korund5.conf"),
                      "[General]\nDataBasePath=/srv/k5/База\nEmpty=\n"
                      "List=a, b\n\n[Paths]\nArchive=/srv/archive\n");
    EXPECT_EQ(read("General", "DataBasePath"), "/srv/k5/База");
    EXPECT_EQ(read("General", "Missing"), "умолчание");
    EXPECT_EQ(read("General", "Empty"), "");
    EXPECT_EQ(read("General", "List"), "умолчание");
    EXPECT_EQ(read("\\Paths\\", "Archive"), "/srv/archive");
    EXPECT_EQ(read("General", "Archive"), "умолчание");             // another section's key
    EXPECT_EQ(read("General", "DataBasePath", false), "умолчание"); // the user's file is not the machine's
    // A number gives its decimal text, other types the default.
    EXPECT_EQ(k5::SettingToText(QVariant(-7), "d"), "-7");
    EXPECT_EQ(k5::SettingToText(QVariant(QByteArray("\x01\x02", 2)), "d"), "d");
}
