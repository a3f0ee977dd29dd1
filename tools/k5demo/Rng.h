#pragma once
// The demo generator's own random numbers: splitmix64, so that one seed gives the same
// folder on every machine and with every standard library.
#include <cstdint>
#include <string>
#include <vector>

namespace k5demo {

class Rng {
public:
    explicit Rng(uint64_t seed) : mState(seed) {}

    uint64_t Next() {
        uint64_t z = (mState += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi], both included.
    int64_t Range(int64_t lo, int64_t hi) {
        const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
        return lo + static_cast<int64_t>(Next() % span);
    }
    bool Chance(int percent) { return Range(1, 100) <= percent; }
    template <class T> const T& Pick(const std::vector<T>& items) {
        return items[static_cast<size_t>(Range(0, static_cast<int64_t>(items.size()) - 1))];
    }
    std::string Digits(int count) {
        std::string s;
        for (int i = 0; i < count; ++i)
            s.push_back(static_cast<char>('0' + Range(i == 0 ? 1 : 0, 9)));
        return s;
    }

private:
    uint64_t mState;
};

} // namespace k5demo
