#include "platform/fork.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace trelk::platform {

#if defined(_WIN32)
// Windows has no fork: a child process starts afresh.
bool run_in_forked_children(void (*)() noexcept) noexcept { return true; }
#else
bool run_in_forked_children(void (*handler)() noexcept) noexcept {
    return pthread_atfork(nullptr, nullptr, handler) == 0;
}
#endif

}  // namespace trelk::platform
