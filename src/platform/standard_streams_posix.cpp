// Standard output and error as descriptors 1 and 2.
#include "platform/standard_streams.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>

namespace trelk::platform {

// A signal ends a blocked write by itself.
WriteAttempt write_standard_output(std::string_view bytes, Interruption) noexcept {
    ssize_t written = ::write(1, bytes.data(), bytes.size());
    if (written < 0) return {0, errno};
    return {static_cast<std::size_t>(written), 0};
}

bool standard_output_blocks() noexcept {
    int flags = ::fcntl(1, F_GETFL);
    return flags == -1 || (flags & O_NONBLOCK) == 0;
}

// select, not poll: macOS's poll does not wait for terminals.
int wait_for_standard_output(Interruption) noexcept {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(1, &writable);
    return ::select(2, nullptr, &writable, nullptr, nullptr) < 0 ? errno : 0;
}

void report_on_standard_error(std::string_view report) noexcept {
    [[maybe_unused]] ssize_t written = ::write(2, report.data(), report.size());
}

}  // namespace trelk::platform
#endif
