#pragma once
// A blocking system call (the flush of a file of gigabytes) must not freeze the event loop:
// the call runs on a helper thread while the calling thread keeps ticking.
#include <functional>

namespace k5 {

// Runs `work` on a helper thread and calls `tick` on the calling thread about every 20 ms
// until it is done. An exception of `work` is rethrown here; one of `tick` is rethrown
// after `work` has finished (the helper thread is never abandoned).
void RunWithTicks(const std::function<void()>& work, const std::function<void()>& tick);

} // namespace k5
