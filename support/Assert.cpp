#include "support/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace k5 {

void AssertionFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

} // namespace k5
