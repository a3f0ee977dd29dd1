#pragma once
// The engine's text order "K5RU": case-insensitive for Latin and Cyrillic, Ё after Е.
// Header-only so that the loadable extension for the sqlite3 shell sorts exactly alike.
#include <cstdint>

namespace k5::db::collation {

// Decodes one code point; invalid bytes come back as themselves (0xDC00 + byte).
inline uint32_t NextCp(const unsigned char*& p, const unsigned char* end) {
    const unsigned char c = *p++;
    if (c < 0x80) return c;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra < 0 || end - p < extra) return 0xDC00 + c;
    uint32_t cp = c & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0xDC00 + c;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    p += extra;
    return cp;
}

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
        const uint32_t wa = Weight(NextCp(pa, ea));
        const uint32_t wb = Weight(NextCp(pb, eb));
        if (wa != wb) return wa < wb ? -1 : 1;
    }
    if (pa < ea) return 1;
    if (pb < eb) return -1;
    return 0;
}

} // namespace k5::db::collation
