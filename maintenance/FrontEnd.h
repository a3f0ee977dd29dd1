#pragma once
// What a front end (the window, the headless run) needs of the engine, so that it reaches
// the engine only through maintenance.
#include "dbengine/DaoEngine.h"
#include "support/Env.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace k5 {

// The engine of a front end's runs, its files going through `env`; the front end owns it.
std::unique_ptr<db::DBEngine> MakeRunEngine(Env& env);

// While it lives, `engine`'s long calls (compaction) report how far they are through
// `report`, on the thread that made it.
class EngineProgressReport {
public:
    EngineProgressReport(db::DBEngine& engine, std::function<void(int64_t done, int64_t total)> report);
    ~EngineProgressReport();
    EngineProgressReport(const EngineProgressReport&) = delete;
    EngineProgressReport& operator=(const EngineProgressReport&) = delete;

private:
    db::DBEngine& mEngine;
};

} // namespace k5
