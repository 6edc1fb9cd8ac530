// The line lock as one byte in a pipe: macOS, whose sem_init fails.
#include "platform/interruptible_lock.hpp"

#if defined(TRELK_LOCK_PIPE)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace trelk::platform {

namespace {

// Both ends are closed in programs that the process starts, and the read end
// never blocks, so that taking the byte never waits: a wait is a poll, which
// a signal ends.
int make_pipe(int& read_end, int& write_end) noexcept {
    int ends[2];
    if (::pipe(ends) != 0) return errno;
    read_end = ends[0];
    write_end = ends[1];
    if (::fcntl(read_end, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(write_end, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(read_end, F_SETFL, O_NONBLOCK) != 0) {
        return errno;
    }
    return 0;
}

}  // namespace

int InterruptibleLock::acquire(Interruption) noexcept {
    if (broken_ != 0) return broken_;
    for (;;) {
        char byte;
        ssize_t taken = ::read(read_end_, &byte, 1);
        if (taken == 1) return 0;
        if (taken == 0) return EPIPE;  // the write end is gone: the byte can never come back
        if (errno != EAGAIN) return errno;
        // Another thread holds the byte, or took it first after the poll.
        pollfd readable{read_end_, POLLIN, 0};
        if (::poll(&readable, 1, -1) < 0) return errno;
        if ((readable.revents & POLLNVAL) != 0) return EBADF;
    }
}

bool InterruptibleLock::try_acquire() noexcept {
    char byte;
    return broken_ == 0 && ::read(read_end_, &byte, 1) == 1;
}

void InterruptibleLock::release() noexcept {
    // Never blocks: the pipe holds at most this one byte.
    if (broken_ != 0) return;
    const char byte = 0;
    [[maybe_unused]] ssize_t written = ::write(write_end_, &byte, 1);
}

void InterruptibleLock::reset() noexcept {
    // In a forked child the ends are shared with the parent: the child's lock is a new pipe.
    if (read_end_ >= 0) ::close(read_end_);
    if (write_end_ >= 0) ::close(write_end_);
    read_end_ = write_end_ = -1;
    broken_ = make_pipe(read_end_, write_end_);
    if (broken_ == 0) release();
}

}  // namespace trelk::platform
#endif
