#include "maintenance/FrontEnd.h"

namespace k5 {

db::DBEngine& ProductEngine() {
    return db::DBEngine::Instance();
}

EngineProgressReport::EngineProgressReport(std::function<void(int64_t done, int64_t total)> report) {
    db::DBEngine::Instance().SetProgressHook(std::move(report));
}

EngineProgressReport::~EngineProgressReport() {
    db::DBEngine::Instance().SetProgressHook(nullptr);
}

} // namespace k5
