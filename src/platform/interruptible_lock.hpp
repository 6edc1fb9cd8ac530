// A lock whose wait ends when a signal arrives, as a blocked write does; a
// mutex's wait does not. It keeps diagnostic lines whole.
//
// POSIX: an unnamed semaphore. A port to a system without them (macOS, whose
// sem_init fails) would use a one-byte pipe, or the system's own interruptible
// wait; nothing outside this file changes.
#pragma once

#include <semaphore.h>

namespace trelk::platform {

class InterruptibleLock {
public:
    InterruptibleLock() noexcept { reset(false); }
    InterruptibleLock(const InterruptibleLock&) = delete;
    InterruptibleLock& operator=(const InterruptibleLock&) = delete;
    // Never destroyed: a thread may still wait for it at exit.

    // 0 once held, EINTR when a signal ended the wait, or the error that kept
    // the lock from being made.
    int acquire() noexcept;
    // Whether the lock was free, and is now held; never waits.
    bool try_acquire() noexcept;
    void release() noexcept;
    // The lock made anew, held or free: in a forked child, whose other threads are gone.
    void reset(bool held) noexcept;

private:
    sem_t free_;
    int broken_ = 0;  // why the semaphore could not be made, if it could not
};

}  // namespace trelk::platform
