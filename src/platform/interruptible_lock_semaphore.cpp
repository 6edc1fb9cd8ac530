// The line lock as an unnamed POSIX semaphore.
#include "platform/interruptible_lock.hpp"

#if defined(TRELK_LOCK_SEMAPHORE)
#include <cerrno>

namespace trelk::platform {

// A signal ends sem_wait by itself: there is nothing else to wait for.
int InterruptibleLock::acquire(Interruption) noexcept {
    if (broken_ != 0) return broken_;
    return sem_wait(&free_) == 0 ? 0 : errno;
}

bool InterruptibleLock::try_acquire() noexcept { return broken_ == 0 && sem_trywait(&free_) == 0; }

void InterruptibleLock::release() noexcept {
    if (broken_ == 0) sem_post(&free_);
}

void InterruptibleLock::reset() noexcept { broken_ = sem_init(&free_, 0, 1) == 0 ? 0 : errno; }

}  // namespace trelk::platform
#endif
