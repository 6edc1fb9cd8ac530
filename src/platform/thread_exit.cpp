#include "platform/thread_exit.hpp"

#include <pthread.h>
#include <unistd.h>

#include <new>

#if defined(__GLIBC__)
// glibc runs the handlers of this older cleanup list from the stop function of
// its forced unwinding, for every handler whose buffer lies outside the frames
// not yet unwound. A buffer that is not on the thread's stack is so run at the
// very first frame, before any cleanup of the frames above: the thread parks
// with its whole stack intact. The functions are exported, not declared.
extern "C" void _pthread_cleanup_push(struct _pthread_cleanup_buffer* buffer, void (*routine)(void*), void* arg);
extern "C" void _pthread_cleanup_pop(struct _pthread_cleanup_buffer* buffer, int execute);
#endif

namespace trelk::platform {

void park_forever() noexcept {
    for (;;) pause();
}

namespace detail {

constinit thread_local bool kept_from_unwinding [[gnu::tls_model("initial-exec")]] = false;

#if defined(__GLIBC__)
namespace {

struct Parking {
    _pthread_cleanup_buffer buffer;  // on the heap: never on the stack that is unwound
    ParkWanted wanted;
    BeforeParking before;
};

void park_if_wanted(void* arg) {
    auto* parking = static_cast<Parking*>(arg);
    if (!parking->wanted()) return;  // the thread ends as its host asked
    parking->before();
    park_forever();
}

// Unregisters the thread when it ends normally.
struct Registration {
    Parking* parking = nullptr;
    Registration() = default;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() {
        if (parking == nullptr) return;
        _pthread_cleanup_pop(&parking->buffer, 0);
        delete parking;
    }
};

}  // namespace

void keep_from_unwinding_slow(ParkWanted wanted, BeforeParking before) noexcept {
    thread_local Registration registration;
    // Tried again on the next call if memory is short now.
    auto* parking = new (std::nothrow) Parking{{}, wanted, before};
    if (parking == nullptr) return;
    _pthread_cleanup_push(&parking->buffer, park_if_wanted, parking);
    registration.parking = parking;
    kept_from_unwinding = true;
}
#else
// Elsewhere the thread ends as its host asks.
void keep_from_unwinding_slow(ParkWanted, BeforeParking) noexcept { kept_from_unwinding = true; }
#endif

}  // namespace detail

}  // namespace trelk::platform
