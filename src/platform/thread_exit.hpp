// Keeping a thread from being unwound when its host ends it.
//
// Some hosts end a thread by forced unwinding (glibc's pthread_exit): every
// frame on the thread's stack runs its cleanups on the way out, ours too, at a
// moment when the state those cleanups touch belongs to another thread. A
// thread that is kept from it parks instead, before any frame is unwound, and
// what it holds stays held until the process ends.
#pragma once

namespace trelk::platform {

// Whether a thread that is being ended parks instead; asked on that thread,
// which holds nothing of its host's then.
using ParkWanted = bool (*)() noexcept;
// What a parking thread gives up first, so that other threads go on.
using BeforeParking = void (*)() noexcept;

namespace detail {
void keep_from_unwinding_slow(ParkWanted wanted, BeforeParking before) noexcept;
// Read by every call into the module: the initial-exec model makes that one
// load instead of a lookup in the dynamic loader, at the price of the module's
// few dozen bytes of thread-local data coming from the static reserve.
extern constinit thread_local bool kept_from_unwinding [[gnu::tls_model("initial-exec")]];
}  // namespace detail

// From now on, this thread parks when it is ended by forced unwinding and
// `wanted()` says so. The first call on a thread registers it; later calls
// cost one thread-local load. `wanted` and `before` are the same on every call.
inline void keep_from_unwinding(ParkWanted wanted, BeforeParking before) noexcept {
    if (!detail::kept_from_unwinding) detail::keep_from_unwinding_slow(wanted, before);
}

// Parks this thread until the process ends.
[[noreturn]] void park_forever() noexcept;

}  // namespace trelk::platform
