#include "platform/standard_streams.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace trelk::platform {

WriteAttempt write_standard_output(std::string_view bytes) noexcept {
    ssize_t written = ::write(1, bytes.data(), bytes.size());
    if (written < 0) return {0, errno};
    return {static_cast<std::size_t>(written), 0};
}

bool standard_output_blocks() noexcept {
    int flags = ::fcntl(1, F_GETFL);
    return flags == -1 || (flags & O_NONBLOCK) == 0;
}

int wait_for_standard_output() noexcept {
    pollfd ready{1, POLLOUT, 0};
    return ::poll(&ready, 1, -1) < 0 ? errno : 0;
}

void report_on_standard_error(std::string_view report) noexcept {
    [[maybe_unused]] ssize_t written = ::write(2, report.data(), report.size());
}

}  // namespace trelk::platform
