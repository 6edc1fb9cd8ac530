#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "tracing/event.hpp"

namespace trelk::tracing {

namespace detail {
std::atomic<int> lowest_enabled{static_cast<int>(Level::Error) + 1};
}  // namespace detail

namespace {

enum : int { Empty, Installing, Installed };
std::atomic<int> writer_state{Empty};
bool writer_styled = false;  // fixed before writer_state becomes Installed
std::mutex standard_output_lock;

constexpr std::string_view level_text[] = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
constexpr std::string_view level_colour[] = {"35", "34", "32", "33", "31"};
constexpr std::string_view reset = "\x1b[0m";

void append_styled(std::string& out, std::string_view code, std::string_view text) {
    out += "\x1b[";
    out += code;
    out += 'm';
    out += text;
    out += reset;
}

// ESC, BEL, BS, FF and DEL as \xNN, C1 controls as \u{NN}; the rest unchanged.
void append_escaped(std::string& out, std::string_view message) {
    static constexpr char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < message.size(); ++i) {
        auto byte = static_cast<unsigned char>(message[i]);
        if (byte == 0x1b || byte == 0x07 || byte == 0x08 || byte == 0x0c || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else if (byte == 0xc2 && i + 1 < message.size() &&
                   static_cast<unsigned char>(message[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(message[i + 1]) <= 0x9f) {
            auto code = static_cast<unsigned char>(message[++i]);
            out += "\\u{";
            out += hex[code >> 4];
            out += hex[code & 0xf];
            out += '}';
        } else {
            out += static_cast<char>(byte);
        }
    }
}

int write_all(std::string_view bytes) noexcept {
    std::lock_guard<std::mutex> hold(standard_output_lock);
    while (!bytes.empty()) {
        ssize_t written = ::write(1, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

bool valid_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3 : (byte >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        std::uint32_t code = length == 1 ? byte : byte & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
        i += length;
    }
    return true;
}

}  // namespace

void format_line(std::string& out, Level level, std::string_view target, std::string_view message,
                 bool styled) {
    auto index = static_cast<std::size_t>(level);
    if (styled) {
        append_styled(out, level_colour[index], level_text[index]);
        out += ' ';
        append_styled(out, "2", target);
        append_styled(out, "2", ":");
    } else {
        out += level_text[index];
        out += ' ';
        out += target;
        out += ':';
    }
    out += ' ';
    append_escaped(out, message);
    out += '\n';
}

void detail::write_event(Level level, std::string_view target, std::string_view message) noexcept {
    if (writer_state.load(std::memory_order_acquire) != Installed) return;
    thread_local std::string line;
    try {
        format_line(line, level, target, message, writer_styled);
    } catch (...) {
        line.clear();
        static constexpr char lost[] = "trelk: a diagnostic line was lost: out of memory\n";
        [[maybe_unused]] ssize_t ignored = ::write(2, lost, sizeof lost - 1);
        return;
    }
    if (int error = write_all(line)) {
        std::string report = "trelk: a diagnostic line could not be written to standard output: ";
        report += std::strerror(error);
        report += '\n';
        [[maybe_unused]] ssize_t ignored = ::write(2, report.data(), report.size());
    }
    line.clear();
}

bool install_writer(bool styled) noexcept {
    int expected = Empty;
    if (!writer_state.compare_exchange_strong(expected, Installing, std::memory_order_acq_rel)) {
        return false;
    }
    writer_styled = styled;
    writer_state.store(Installed, std::memory_order_release);
    detail::lowest_enabled.store(static_cast<int>(Level::Info), std::memory_order_relaxed);
    return true;
}

bool no_color_requested(const char* value) noexcept {
    if (value == nullptr || *value == '\0') return false;
    return valid_utf8(value);
}

int write_standard_output(std::string_view bytes) noexcept { return write_all(bytes); }

}  // namespace trelk::tracing
