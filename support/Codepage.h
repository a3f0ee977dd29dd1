#pragma once
#include <string>

namespace k5 {

// UTF-8 -> Windows-1251; what the code page cannot hold becomes "?".
std::string Utf8ToCp1251(const std::string& text);
// Windows-1251 -> UTF-8.
std::string Cp1251ToUtf8(const std::string& bytes);

} // namespace k5
