// Threads that the host ends or a fork leaves behind.
//
// glibc's pthread_exit ends a thread by forced unwinding, whose cleanups in
// frames of ours would touch state that then belongs to another thread: a
// thread ended inside a `KeptFromUnwinding` scope parks instead, before any
// frame is unwound. Where threads end without unwinding (musl, macOS,
// Windows) there is nothing to keep, and a scope is empty.
#pragma once

#include <cstdint>

#include "platform/compiler.hpp"

namespace trelk::platform {

#if defined(__GLIBC__)
namespace detail {
struct ThreadScopes {
    std::uint32_t depth;  // the scopes this thread is in
    bool registered;      // its parking handler is in place
};
// Read by every call into the module: the initial-exec model makes that one
// load instead of a lookup in the dynamic loader, at the price of a few bytes
// of the loader's static reserve.
extern constinit thread_local ThreadScopes thread_scopes [[gnu::tls_model("initial-exec")]];
void register_parking() noexcept;
}  // namespace detail

// The first scope on a thread registers it; later ones cost an increment.
class KeptFromUnwinding {
public:
    KeptFromUnwinding() noexcept {
        if (!detail::thread_scopes.registered) detail::register_parking();
        ++detail::thread_scopes.depth;
    }
    KeptFromUnwinding(const KeptFromUnwinding&) = delete;
    KeptFromUnwinding& operator=(const KeptFromUnwinding&) = delete;
    ~KeptFromUnwinding() { --detail::thread_scopes.depth; }
};
#else
struct KeptFromUnwinding {};
#endif

// Parks this thread until the process ends.
[[noreturn]] void park_forever() noexcept;

// Runs `handler` in every child that this process forks from now on, before
// fork returns there: a lock that another thread held is held by no one
// there. Registered once per handler; false if the system refused.
bool run_in_forked_children(void (*handler)() noexcept) noexcept;

}  // namespace trelk::platform
