// Diagnostic events: a level, a target naming the reporting namespace, and a
// message. They cost one atomic load until a writer is installed, and from then
// on every event at INFO or above is one line on the process's standard output.
#pragma once

#include <atomic>
#include <string_view>

namespace trelk::tracing {

enum class Level : int { Trace, Debug, Info, Warn, Error };

namespace detail {
// The least severe level that is written; above Error while nothing is installed.
extern std::atomic<int> lowest_enabled;
void write_event(Level level, std::string_view target, std::string_view message) noexcept;
}  // namespace detail

inline void emit_event(Level level, std::string_view target, std::string_view message) noexcept {
    if (static_cast<int>(level) < detail::lowest_enabled.load(std::memory_order_relaxed)) return;
    detail::write_event(level, target, message);
}

// Installs the process-wide writer, styled with colours or not; false when a
// writer was installed before (it stays in place, unchanged).
bool install_writer(bool styled) noexcept;

// Whether the value of NO_COLOR (null when unset) switches styling off: any
// non-empty value that is valid UTF-8 does.
bool no_color_requested(const char* value) noexcept;

// Writes `bytes` to the standard output handle under the lock that event lines
// take; 0 on success, else the system's error number.
int write_standard_output(std::string_view bytes) noexcept;

// The line of one event, with a line feed, as the writer formats it.
void format_line(std::string& out, Level level, std::string_view target, std::string_view message,
                 bool styled);

}  // namespace trelk::tracing
