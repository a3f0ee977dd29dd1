#pragma once
// The engine's value type: what a field holds and what the helpers convert.
#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace k5 {

struct Null {
    bool operator==(const Null&) const = default;
};
// Fixed point with four decimals: 1.5 is stored as 15000.
struct Currency {
    int64_t scaled = 0;
    bool operator==(const Currency&) const = default;
};
// Days since 1899-12-30, the fraction being the time of day.
struct Date {
    double days = 0;
    bool operator==(const Date&) const = default;
};
struct Guid {
    std::array<uint8_t, 16> bytes{};
    bool operator==(const Guid&) const = default;
};
using Bytes = std::vector<uint8_t>;

// Text is UTF-8 throughout the program.
using Value = std::variant<Null, bool, uint8_t, int16_t, int32_t, int64_t, float, double, Currency, Date,
                           std::string, Bytes, Guid>;

inline bool IsNull(const Value& v) { return std::holds_alternative<Null>(v); }

} // namespace k5
