#include "support/Background.h"

#include <chrono>
#include <exception>
#include <future>

namespace k5 {

void RunWithTicks(const std::function<void()>& work, const std::function<void()>& tick) {
    if (!tick) {
        work();
        return;
    }
    std::future<void> done = std::async(std::launch::async, work);
    std::exception_ptr tickError;
    while (done.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (tickError) continue;
        try {
            tick();
        } catch (...) {
            tickError = std::current_exception();
        }
    }
    done.get();
    if (tickError) std::rethrow_exception(tickError);
}

} // namespace k5
