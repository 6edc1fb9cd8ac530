// The process's standard output and error, written through their handles, below any buffering of the host.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/interruption.hpp"

namespace trelk::platform {

// One attempt at writing `bytes` to standard output: how many went out, or 0
// with the error number (EINTR for a signal, EAGAIN for a handle set not to
// block that is full).
struct WriteAttempt {
    std::size_t written;
    int error;
};
WriteAttempt write_standard_output(std::string_view bytes, Interruption interruption) noexcept;

// Whether standard output blocks when full: on such a handle a write is cut
// short only by a signal, while one set not to block takes what fits.
bool standard_output_blocks() noexcept;

// Waits until a standard output set not to block takes more: 0, or the error
// that ended the wait (EINTR for a signal).
int wait_for_standard_output(Interruption interruption) noexcept;

// Writes a report to standard error in one go, so that other writers do not
// tear it; a failure has nowhere to be reported and is ignored.
void report_on_standard_error(std::string_view report) noexcept;

}  // namespace trelk::platform
