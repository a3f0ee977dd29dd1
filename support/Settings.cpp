#include "support/Settings.h"

#include "support/Common.h"
#include "support/Error.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>
#include <QVariant>

#include <vector>

namespace k5 {

namespace {

constexpr const char* kProductKey = "SOFTWARE\\Seltaris\\Korund5";
// Qt's INI format reads the keys of a "[General]" section as top-level keys.
constexpr const char* kTopLevelSection = "General";

} // namespace

std::string SettingToText(const QVariant& value, const std::string& defaultValue) {
    if (!value.isValid() || value.isNull()) return defaultValue;
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString().toStdString();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
        return value.toString().toStdString();
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest).toStdString();
    default:
        // Lists (an unquoted comma in the file makes one), binary data and the rest.
        return defaultValue;
    }
}

namespace {

// The settings files in the order the freedesktop base directories give them: the machine's
// in every folder of XDG_CONFIG_DIRS ("/etc/xdg" when unset), the first taking precedence; the
// user's in XDG_CONFIG_HOME ("~/.config"). Relative folders are ignored, as the rule says.
std::vector<QString> SettingsFiles(bool localMachine) {
    QStringList folders;
    if (localMachine) {
        folders = qEnvironmentVariable("XDG_CONFIG_DIRS").split(u':', Qt::SkipEmptyParts);
        if (folders.isEmpty()) folders = {QStringLiteral("/etc/xdg")};
    } else {
        const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
        folders = {home.startsWith(u'/') ? home : QDir::homePath() + QStringLiteral("/.config")};
    }
    std::vector<QString> files;
    for (const QString& folder : folders)
        if (folder.startsWith(u'/')) files.push_back(folder + QStringLiteral("/Seltaris/Korund5.conf"));
    return files;
}

} // namespace

std::string GetProductSetting_String(bool localMachine, const std::string& section,
                                     const std::string& valueName, const std::string& defaultValue) {
    try {
        // The key name of the product key and section; on this system the section is the
        // INI group of the settings file, nested keys written with "\" become "/".
        const std::string key = ConcatenateRegistryKeys(kProductKey, section);
        std::string group = key.substr(std::string(kProductKey).size());
        while (!group.empty() && group.front() == '\\')
            group.erase(0, 1);
        while (!group.empty() && group.back() == '\\')
            group.pop_back();
        for (char& c : group) {
            if (c == '\\') c = '/';
        }
        const QString name = QString::fromStdString(valueName);
        // The names a value may have in one file: a hand-written "[General]" is Qt's top level,
        // while a file written by QSettings itself keeps the section as "[%General]".
        QStringList paths;
        if (group.empty() || group == kTopLevelSection) paths << name;
        if (!group.empty()) paths << QString::fromStdString(group) + "/" + name;

        // Fresh at every call, so an administrator's change is seen at once. The first file
        // that holds the value gives it; the user's own file is never mixed with the machine's.
        for (const QString& file : SettingsFiles(localMachine)) {
            if (!QFileInfo(file).isFile()) continue;
            const QSettings settings(file, QSettings::IniFormat);
            for (const QString& path : paths)
                if (settings.contains(path)) return SettingToText(settings.value(path), defaultValue);
        }
        return defaultValue;
    }
    K5_TRAP("mK5RegistryParams", "GetProductSetting_String")
}

std::string ConcatenateRegistryKeys(const std::string& first, const std::string& second) {
    try {
        return JoinWith(first, second, '\\');
    }
    K5_TRAP("mK5RegistryParams", "ConcatenateRegistryKeys")
}

} // namespace k5
