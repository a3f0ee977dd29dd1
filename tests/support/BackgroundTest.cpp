#include "support/Background.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

TEST(RunWithTicks, TicksWhileTheWorkBlocksAndPassesFailuresOn) {
    int ticks = 0;
    k5::RunWithTicks([] { std::this_thread::sleep_for(150ms); }, [&] { ++ticks; });
    EXPECT_GE(ticks, 3) << "the caller keeps ticking while the work blocks";

    EXPECT_THROW(k5::RunWithTicks([] { throw std::runtime_error("flush failed"); }, [] {}),
                 std::runtime_error);

    // A tick that throws (a stop request) does not abandon the work: it finishes first.
    std::atomic<bool> finished{false};
    auto work = [&] {
        std::this_thread::sleep_for(80ms);
        finished = true;
    };
    EXPECT_THROW(k5::RunWithTicks(work, [] { throw std::logic_error("stop"); }), std::logic_error);
    EXPECT_TRUE(finished);
}
