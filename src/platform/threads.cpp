// Parking a thread ended inside the module, and the fork handler.
#include "platform/threads.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

#if defined(__GLIBC__)
#include <new>

// glibc runs the handlers of this older cleanup list from the stop function of
// its forced unwinding, for every handler whose buffer lies outside the frames
// not yet unwound. A buffer that is not on the thread's stack is so run at the
// very first frame, before any cleanup of the frames above: the thread parks
// with its whole stack intact. The functions are exported, not declared.
extern "C" void _pthread_cleanup_push(struct _pthread_cleanup_buffer* buffer, void (*routine)(void*), void* arg);
extern "C" void _pthread_cleanup_pop(struct _pthread_cleanup_buffer* buffer, int execute);
#endif

namespace trelk::platform {

#if defined(_WIN32)
void park_forever() noexcept {
    for (;;) Sleep(INFINITE);
}

// Windows has no fork: a child process starts afresh.
bool run_in_forked_children(void (*)() noexcept) noexcept { return true; }
#else
void park_forever() noexcept {
    for (;;) pause();
}

bool run_in_forked_children(void (*handler)() noexcept) noexcept {
    return pthread_atfork(nullptr, nullptr, handler) == 0;
}
#endif

#if defined(__GLIBC__)
namespace detail {

constinit thread_local ThreadScopes thread_scopes [[gnu::tls_model("initial-exec")]] = {0, false};

namespace {

void park_if_inside(void*) {
    if (thread_scopes.depth == 0) return;  // none of our frames is on the stack
    park_forever();
}

// Unregisters the thread when it ends normally.
struct Registration {
    _pthread_cleanup_buffer* buffer = nullptr;  // on the heap: never on the stack that is unwound
    Registration() = default;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() {
        if (buffer == nullptr) return;
        _pthread_cleanup_pop(buffer, 0);
        delete buffer;
    }
};

}  // namespace

void register_parking() noexcept {
    thread_local Registration registration;
    // Tried again by the next scope if memory is short now.
    auto* buffer = new (std::nothrow) _pthread_cleanup_buffer{};
    if (buffer == nullptr) return;
    _pthread_cleanup_push(buffer, park_if_inside, nullptr);
    registration.buffer = buffer;
    thread_scopes.registered = true;
}
}  // namespace detail
#endif

}  // namespace trelk::platform
