#pragma once
// The engine's text order "K5RU": case-insensitive for Latin and Cyrillic, Ё after Е.
// Header-only so that the loadable extension for the sqlite3 shell sorts exactly alike.
#include "support/Utf8.h"

#include <cstdint>

namespace k5::db::collation {

inline uint32_t FoldCp(uint32_t cp) {
    if (cp >= 'A' && cp <= 'Z') return cp + 32;
    if (cp >= 0x410 && cp <= 0x42F) return cp + 0x20;
    if (cp >= 0x400 && cp <= 0x40F) return cp + 0x50;
    return cp;
}

// Sort weight: code point order, except that ё sits between е and ж.
inline uint32_t Weight(uint32_t cp) {
    cp = FoldCp(cp);
    if (cp == 0x451) return 0x435 * 2 + 1;
    return cp * 2;
}

inline int Compare(const char* a, int na, const char* b, int nb) {
    auto pa = reinterpret_cast<const unsigned char*>(a);
    auto pb = reinterpret_cast<const unsigned char*>(b);
    const auto ea = pa + na;
    const auto eb = pb + nb;
    while (pa < ea && pb < eb) {
        // Fast path for ASCII.
        if (*pa < 0x80 && *pb < 0x80) {
            unsigned char ca = *pa++, cb = *pb++;
            if (ca >= 'A' && ca <= 'Z') ca += 32;
            if (cb >= 'A' && cb <= 'Z') cb += 32;
            if (ca != cb) return ca < cb ? -1 : 1;
            continue;
        }
        const uint32_t wa = Weight(utf8::Next(pa, ea));
        const uint32_t wb = Weight(utf8::Next(pb, eb));
        if (wa != wb) return wa < wb ? -1 : 1;
    }
    if (pa < ea) return 1;
    if (pb < eb) return -1;
    return 0;
}

} // namespace k5::db::collation
