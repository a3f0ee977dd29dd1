#pragma once
// Checks of invariants, in the manner of assert(): compiled into the builds made with the
// tests (K5_ASSERTS, on with K5_BUILD_TESTS) whatever their build type, compiled out of the
// installed program. A failed check names itself and aborts.
#include <thread>

namespace k5 {

[[noreturn]] void AssertionFailed(const char* condition, const char* file, int line);

// The thread an object was made on, for the calls that must come from it (the user's thread:
// its event loop, its boxes, the protocol's readers).
class OwnerThread {
public:
    bool IsCurrent() const { return std::this_thread::get_id() == mId; }

private:
    std::thread::id mId = std::this_thread::get_id();
};

} // namespace k5

#if defined(K5_ASSERTS) && K5_ASSERTS
#define K5_ASSERT(condition) ((condition) ? void(0) : ::k5::AssertionFailed(#condition, __FILE__, __LINE__))
#else
#define K5_ASSERT(condition) void(0)
#endif
