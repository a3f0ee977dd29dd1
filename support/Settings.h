#pragma once
// Product settings: on Linux the INI file Seltaris/Korund5.conf in the XDG system
// configuration folders (QSettings, system scope); read only, never cached.
// Layout: the section "General" is the file's "[General]" (Qt's top level; "[%General]" is
// read too); any other section is an INI group of that name. A value holding a comma must
// be quoted ("..."), else Qt reads it as a list, which gives the default.
#include <string>

class QVariant;

namespace k5 {

std::string GetProductSetting_String(bool localMachine, const std::string& section,
                                     const std::string& valueName, const std::string& defaultValue);
std::string ConcatenateRegistryKeys(const std::string& first, const std::string& second);
// A stored value as text: text as is, a number as its decimal text, anything else (a list,
// binary data, no value) gives the default.
std::string SettingToText(const QVariant& value, const std::string& defaultValue);

} // namespace k5
