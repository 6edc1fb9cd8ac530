// What the language leaves to each compiler.
#pragma once

#include <climits>  // defines __GLIBC__ where the C library is glibc

// Keeps a rarely taken path out of its caller, so that the common one stays small.
#if defined(_MSC_VER)
#define TRELK_NOINLINE __declspec(noinline)
#else
#define TRELK_NOINLINE [[gnu::noinline]]
#endif

// A thread-local read on every call: with glibc, the initial-exec model makes
// that one load instead of a lookup in the dynamic loader, at the price of the
// few bytes coming from the loader's static reserve. musl refuses a library
// loaded at run time that asks for it, and other systems have their own models.
#if defined(__GLIBC__)
#define TRELK_INITIAL_EXEC_TLS [[gnu::tls_model("initial-exec")]]
#else
#define TRELK_INITIAL_EXEC_TLS
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
