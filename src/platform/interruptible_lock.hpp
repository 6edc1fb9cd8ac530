// The line lock: a lock whose wait a signal ends, as it ends a blocked write.
//
// One primitive per system (docs/development.md, "Ports and toolchains"), each
// in a file of its own; TRELK_PIPE_LOCK takes macOS's pipe elsewhere, to test it.
#pragma once

#include "platform/interruption.hpp"

#if defined(_WIN32)
#define TRELK_LOCK_WINDOWS 1
#elif defined(__APPLE__) || defined(TRELK_PIPE_LOCK)
#define TRELK_LOCK_PIPE 1
#else
#define TRELK_LOCK_SEMAPHORE 1
#include <semaphore.h>
#endif

namespace trelk::platform {

class InterruptibleLock {
public:
    InterruptibleLock() noexcept { reset(); }
    InterruptibleLock(const InterruptibleLock&) = delete;
    InterruptibleLock& operator=(const InterruptibleLock&) = delete;
    // Never destroyed: a thread may still wait for it at exit.

    // 0 once held, EINTR when a signal ended the wait (see Interruption), or
    // the error that kept the lock from being made.
    int acquire(Interruption interruption) noexcept;
    // Whether the lock was free, and is now held; never waits.
    bool try_acquire() noexcept;
    void release() noexcept;
    // The lock made anew and free: in a forked child, whose other threads are gone.
    void reset() noexcept;

private:
#if defined(TRELK_LOCK_WINDOWS)
    void* semaphore_ = nullptr;  // a HANDLE
#elif defined(TRELK_LOCK_PIPE)
    // The lock is free while the pipe holds its one byte.
    int read_end_ = -1;
    int write_end_ = -1;
#else
    sem_t free_;
#endif
    int broken_ = 0;  // why the lock could not be made, if it could not
};

}  // namespace trelk::platform
