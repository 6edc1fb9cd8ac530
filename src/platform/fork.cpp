#include "platform/fork.hpp"

#include <pthread.h>

namespace trelk::platform {

bool run_in_forked_children(void (*handler)() noexcept) noexcept {
    return pthread_atfork(nullptr, nullptr, handler) == 0;
}

}  // namespace trelk::platform
