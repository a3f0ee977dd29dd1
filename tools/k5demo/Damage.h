#pragma once
// Real damage to one stored row: the overflow chain of a value larger than a page is cut.
#include <cstdint>
#include <string>

namespace k5demo {

struct DamageResult {
    uint32_t Page = 0;      // the overflow page whose next-page pointer was overwritten
    uint32_t PageCount = 0; // pages in the file
};

// The table must hold exactly one value larger than a page (the one to break); the file must
// be closed by the engine. Works on the SQLite file directly; throws std::runtime_error.
DamageResult BreakOverflowChain(const std::string& path, const std::string& table, const std::string& field,
                                int32_t id);

} // namespace k5demo
