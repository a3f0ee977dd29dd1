// The small made-up values that several tables share.
#include "Rows.h"

namespace k5demo {

using k5::Bytes;

Bytes RandomBytes(Rng& rng, size_t n) {
    Bytes b(n);
    size_t i = 0;
    while (i < n) {
        uint64_t x = rng.Next();
        for (int k = 0; k < 8 && i < n; ++k, ++i, x >>= 8)
            b[i] = static_cast<uint8_t>(x);
    }
    return b;
}

std::string Inn(Rng& rng, bool legal) {
    return rng.Digits(legal ? 10 : 12);
}
std::string Snils(Rng& rng) {
    const std::string d = rng.Digits(11);
    return d.substr(0, 3) + "-" + d.substr(3, 3) + "-" + d.substr(6, 3) + " " + d.substr(9, 2);
}

std::vector<Period> MakePeriods() {
    std::vector<Period> p;
    int32_t id = 0;
    for (int year = 2021; year <= 2024; ++year) {
        p.push_back({++id, year, "21", OleDate(year, 3, 31)});
        p.push_back({++id, year, "31", OleDate(year, 6, 30)});
        p.push_back({++id, year, "33", OleDate(year, 9, 30)});
        p.push_back({++id, year, "34", OleDate(year, 12, 31)});
    }
    return p;
}

const char* PeriodName(const char* code) {
    if (std::string(code) == "21") return "I квартал";
    if (std::string(code) == "31") return "полугодие";
    if (std::string(code) == "33") return "9 месяцев";
    return "год";
}

} // namespace k5demo
