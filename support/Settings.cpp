#include "support/Settings.h"

#include "support/Error.h"

#include <QLocale>
#include <QSettings>
#include <QVariant>

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

        // A fresh object at every call: an administrator's change is seen at once.
        // The native format of Unix is INI in Seltaris/Korund5.conf (the INI format proper would
        // look for Korund5.ini).
        QSettings settings(QSettings::NativeFormat,
                           localMachine ? QSettings::SystemScope : QSettings::UserScope,
                           QStringLiteral("Seltaris"), QStringLiteral("Korund5"));
        // The user's own file is never mixed with the machine's.
        settings.setFallbacksEnabled(false);
        const QString name = QString::fromStdString(valueName);
        QString path;
        if (group.empty() || group == kTopLevelSection) {
            path = name;
            // A file written by QSettings itself keeps the section as "[%General]".
            if (!group.empty() && !settings.contains(path)) path = QString::fromStdString(group) + "/" + name;
        } else {
            path = QString::fromStdString(group) + "/" + name;
        }
        if (!settings.contains(path)) return defaultValue;
        return SettingToText(settings.value(path), defaultValue);
    }
    K5_TRAP("mK5RegistryParams", "GetProductSetting_String")
}

std::string ConcatenateRegistryKeys(const std::string& first, const std::string& second) {
    try {
        if (first.empty() && second.empty()) return std::string();
        if (first.empty()) return second;
        std::string a = first;
        std::string b = second;
        if (!a.empty() && a.back() == '\\') a.pop_back();
        if (!b.empty() && b.front() == '\\') b.erase(0, 1);
        return a + "\\" + b;
    }
    K5_TRAP("mK5RegistryParams", "ConcatenateRegistryKeys")
}

} // namespace k5
