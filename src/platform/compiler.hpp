// What the language leaves to each compiler.
#pragma once

#include <climits>  // defines __GLIBC__ where the C library is glibc

// Keeps a rarely taken path out of its caller, so that the common one stays small.
#if defined(_MSC_VER)
#define TRELK_NOINLINE __declspec(noinline)
#else
#define TRELK_NOINLINE [[gnu::noinline]]
#endif

namespace trelk::platform {

// Ends a switch that returns in every case of an enum of ours: the compiler
// still wants each member's case, and tools/coverage.sh leaves the line out.
[[noreturn]] inline void unreachable() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    __assume(false);
#else
    __builtin_unreachable();
#endif
}

}  // namespace trelk::platform
