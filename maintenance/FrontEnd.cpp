#include "maintenance/FrontEnd.h"

namespace k5 {

std::unique_ptr<db::DBEngine> MakeRunEngine(Env& env) {
    return std::make_unique<db::DBEngine>(env);
}

EngineProgressReport::EngineProgressReport(db::DBEngine& engine,
                                           std::function<void(int64_t done, int64_t total)> report)
    : mEngine(engine) {
    mEngine.SetProgressHook(std::move(report));
}

EngineProgressReport::~EngineProgressReport() {
    mEngine.SetProgressHook(nullptr);
}

} // namespace k5
