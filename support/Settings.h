#pragma once
// Product settings: on Linux the INI files Seltaris/Korund5.conf in the folders of
// XDG_CONFIG_DIRS, in order, the first holding a value giving it (the user's own settings:
// XDG_CONFIG_HOME); read only, never cached. Layout: the section "General" is the file's
// "[General]" (Qt's top level; "[%General]" is read too); any other section is an INI group
// of that name. Qt's INI syntax applies: ";" starts a comment, "\" escapes, names are
// case-sensitive, and a value holding a comma or ";" must be quoted ("...").
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
