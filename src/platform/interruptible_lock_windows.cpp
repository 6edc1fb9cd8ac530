// The line lock as a Windows semaphore object, waited for with the host's event.
#include "platform/interruptible_lock.hpp"

#if defined(TRELK_LOCK_WINDOWS)
#include <windows.h>

#include <cerrno>

#include "platform/windows_errors.hpp"

namespace trelk::platform {

int InterruptibleLock::acquire(Interruption interruption) noexcept {
    if (broken_ != 0) return broken_;
    // The lock first: when both are set, the wait takes the lock.
    HANDLE waited[2] = {semaphore_, interruption.event};
    switch (WaitForMultipleObjects(interruption.event != nullptr ? 2 : 1, waited, FALSE, INFINITE)) {
        case WAIT_OBJECT_0: return 0;
        case WAIT_OBJECT_0 + 1: ResetEvent(interruption.event); return EINTR;
        default: return error_number(GetLastError());
    }
}

bool InterruptibleLock::try_acquire() noexcept {
    return broken_ == 0 && WaitForSingleObject(semaphore_, 0) == WAIT_OBJECT_0;
}

void InterruptibleLock::release() noexcept {
    if (broken_ == 0) ReleaseSemaphore(semaphore_, 1, nullptr);
}

// Windows has no fork: this runs once, when the lock is made.
void InterruptibleLock::reset() noexcept {
    if (semaphore_ != nullptr) CloseHandle(semaphore_);
    semaphore_ = CreateSemaphoreW(nullptr, 1, 1, nullptr);
    broken_ = semaphore_ != nullptr ? 0 : error_number(GetLastError());
}

}  // namespace trelk::platform
#endif
