#pragma once
// Formatting helpers shared by every step (module miVedovodeduzOR / mK5CommonCalc).
#include "support/Value.h"

#include <cstdint>
#include <string>
#include <vector>

namespace k5 {

class UserInteraction;

// Byte count as " байт"/" КБ"/" МБ"/" ГБ"/" ТБ"; the long form appends " (exact)".
std::string MemCStr(double size, bool shortForm);
// At most two decimals, "." as decimal mark whatever the locale, no trailing ".".
std::string CStr1_00(double value);
// "1.2.7"
std::string GetVersion();
// Date -> DD.MM.YYYY, else the value's text; default when it has none (null).
std::string VarToStr(const Value& value, const std::string& defaultText);
// Rounded (halves to even) 32-bit value; default on null, non-number or overflow.
int32_t VarToLng(const Value& value, int32_t defaultValue);
// Largest value, ties keep the earlier one; numbers compare numerically.
Value MaxOf(const std::vector<Value>& values);
// Control characters as escapes ("\n", "\r", "\t", else "\xHH"), so that a value can
// neither break a line nor reach a terminal as a command. With keepLineBreaks a CR LF pair
// stays: the fixed texts break their lines so.
std::string EscapeControls(const std::string& text, bool keepLineBreaks);
// First and second joined by exactly one separator; either alone when the other is empty.
std::string JoinWith(const std::string& first, const std::string& second, char separator);
// Folder and name joined by exactly one "/".
std::string JoinPath(const std::string& folder, const std::string& name);
// Modal warning box with one OK button, the normal pointer while it shows.
void ShowWarning(UserInteraction& ui, const std::string& text, const std::string& caption);

} // namespace k5
