#pragma once
// What a front end (the window, the headless run) needs of the engine, so that it reaches
// the engine only through maintenance.
#include "dbengine/DaoEngine.h"

#include <cstdint>
#include <functional>

namespace k5 {

// The engine the product's maintenance runs on, for the context.
db::DBEngine& ProductEngine();

// While it lives, the engine's long calls (compaction) report how far they are through
// `report`, on the caller's thread.
class EngineProgressReport {
public:
    explicit EngineProgressReport(std::function<void(int64_t done, int64_t total)> report);
    ~EngineProgressReport();
    EngineProgressReport(const EngineProgressReport&) = delete;
    EngineProgressReport& operator=(const EngineProgressReport&) = delete;
};

} // namespace k5
