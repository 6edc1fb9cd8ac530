// Keeping a thread from being unwound while it is inside the module.
//
// glibc's pthread_exit ends a thread by forced unwinding: every frame on the
// thread's stack runs its cleanups on the way out, ours too, at a moment when
// the state those cleanups touch belongs to another thread. A thread ended
// while it is inside a `KeptFromUnwinding` scope parks instead, before any
// frame is unwound, and what it holds stays held until the process ends.
// Outside such scopes it ends as its host asked. Where threads end without
// unwinding (musl) there is nothing to keep, and a scope costs an increment.
#pragma once

#include <cstdint>

namespace trelk::platform {

namespace detail {
struct ThreadScopes {
    std::uint32_t depth;  // the scopes this thread is in
    bool registered;      // its parking handler is in place
};
// Read by every call into the module: with glibc, the initial-exec model makes
// that one load instead of a lookup in the dynamic loader, at the price of the
// module's few dozen bytes of thread-local data coming from the static reserve.
// musl refuses to load a module that asks for it.
#if defined(__GLIBC__)
#define TRELK_THREAD_SCOPES_TLS [[gnu::tls_model("initial-exec")]]
#else
#define TRELK_THREAD_SCOPES_TLS
#endif
extern constinit thread_local ThreadScopes thread_scopes TRELK_THREAD_SCOPES_TLS;
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

}  // namespace trelk::platform
