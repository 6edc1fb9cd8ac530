// Standard output and error as the standard handles: UTF-16 for a console.
#include "platform/standard_streams.hpp"

#if defined(_WIN32)
#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "platform/windows_errors.hpp"

namespace trelk::platform {

namespace {

// A console takes text as UTF-16, whatever its code page; a chunk of the
// bytes, cut where a character begins, at a time.
constexpr std::size_t console_chunk = 4096;

// A console never waits for a reader: a write there is never cut short, and
// one attempt writes a whole chunk. 0 with the error if none went out.
WriteAttempt write_console(HANDLE console, std::string_view bytes) noexcept {
    std::size_t size = (std::min)(bytes.size(), console_chunk);  // parenthesized: windows.h may define min
    // Back over the continuation bytes (three at most) of a character that the cut splits.
    for (int back = 0; back < 3 && size < bytes.size() && (static_cast<unsigned char>(bytes[size]) & 0xc0) == 0x80;
         ++back) {
        --size;
    }
    if (size == 0) return {0, 0};
    wchar_t text[console_chunk];  // no more UTF-16 units than UTF-8 bytes
    // Invalid UTF-8 becomes U+FFFD.
    int units =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(size), text, static_cast<int>(console_chunk));
    if (units == 0) return {0, error_number(GetLastError())};
    for (int done = 0; done < units;) {
        DWORD written = 0;
        if (!WriteConsoleW(console, text + done, static_cast<DWORD>(units - done), &written, nullptr)) {
            return {0, error_number(GetLastError())};
        }
        if (written == 0) return {0, EIO};
        done += static_cast<int>(written);
    }
    return {size, 0};
}

// While this thread writes to a pipe, a thread of the system's pool waits for
// the host's event and, once it is set, cancels the write. A cancel that
// comes before the write has begun finds nothing to cancel, so it is tried
// again until the write has ended; never after, when the thread may be doing
// something else.
struct Watch {
    HANDLE thread = nullptr;  // the writing thread, with the right to cancel its I/O
    SRWLOCK lock = SRWLOCK_INIT;
    bool writing = true;
};

void CALLBACK cancel_write(PTP_CALLBACK_INSTANCE, void* context, PTP_WAIT, TP_WAIT_RESULT) {
    auto& watch = *static_cast<Watch*>(context);
    for (;;) {
        AcquireSRWLockExclusive(&watch.lock);
        const bool writing = watch.writing;
        if (writing) CancelSynchronousIo(watch.thread);
        ReleaseSRWLockExclusive(&watch.lock);
        if (!writing) return;
        Sleep(1);
    }
}

// WriteFile, ended early when the event is set. A watch that cannot be made
// for want of resources leaves the write as it is, blocking.
BOOL watched_write(HANDLE file, std::string_view bytes, DWORD* written, HANDLE event) noexcept {
    Watch watch;
    const HANDLE self = GetCurrentProcess();
    PTP_WAIT wait = nullptr;
    if (DuplicateHandle(self, GetCurrentThread(), self, &watch.thread, THREAD_TERMINATE, FALSE, 0)) {
        wait = CreateThreadpoolWait(cancel_write, &watch, nullptr);
    }
    if (wait != nullptr) SetThreadpoolWait(wait, event, nullptr);
    BOOL done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), written, nullptr);
    const DWORD error = GetLastError();
    AcquireSRWLockExclusive(&watch.lock);
    watch.writing = false;
    ReleaseSRWLockExclusive(&watch.lock);
    if (wait != nullptr) {
        SetThreadpoolWait(wait, nullptr, nullptr);
        WaitForThreadpoolWaitCallbacks(wait, TRUE);
        CloseThreadpoolWait(wait);
    }
    if (watch.thread != nullptr) CloseHandle(watch.thread);
    SetLastError(error);
    return done;
}

}  // namespace

WriteAttempt write_standard_output(std::string_view bytes, Interruption interruption) noexcept {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return {0, EBADF};  // a program without one
    if (DWORD mode; GetConsoleMode(output, &mode)) {
        // Styled lines need the console to read their escape sequences.
        if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
            SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        }
        return write_console(output, bytes);
    }
    bytes = bytes.substr(0, DWORD{1} << 30);
    DWORD written = 0;
    // Only a pipe waits for its reader; a file or a device never keeps a write long.
    const bool watched = interruption.event != nullptr && GetFileType(output) == FILE_TYPE_PIPE;
    BOOL done = watched ? watched_write(output, bytes, &written, interruption.event)
                        : WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (done) {
        // Only a pipe set not to block takes nothing, when it is full.
        return {written, written == 0 && !bytes.empty() ? EAGAIN : 0};
    }
    const DWORD error = GetLastError();
    if (watched && error == ERROR_OPERATION_ABORTED) ResetEvent(interruption.event);
    return {written, error_number(error)};
}

bool standard_output_blocks() noexcept {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD state = 0;
    return GetFileType(output) != FILE_TYPE_PIPE ||
           !GetNamedPipeHandleState(output, &state, nullptr, nullptr, nullptr, nullptr, 0) ||
           (state & PIPE_NOWAIT) == 0;
}

// Nothing tells when a pipe set not to block takes more: it is tried again
// shortly, or as soon as the host's event is set.
int wait_for_standard_output(Interruption interruption) noexcept {
    constexpr DWORD again_after_ms = 10;
    if (interruption.event == nullptr) {
        Sleep(again_after_ms);
        return 0;
    }
    switch (WaitForSingleObject(interruption.event, again_after_ms)) {
        case WAIT_TIMEOUT: return 0;
        case WAIT_OBJECT_0: ResetEvent(interruption.event); return EINTR;
        default: return error_number(GetLastError());
    }
}

void report_on_standard_error(std::string_view report) noexcept {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    const bool console = [error] {
        DWORD mode;
        return GetConsoleMode(error, &mode) != 0;
    }();
    while (!report.empty()) {
        DWORD written = 0;
        if (console) {
            written = static_cast<DWORD>(write_console(error, report).written);
        } else if (!WriteFile(error, report.data(), static_cast<DWORD>(report.size()), &written, nullptr)) {
            return;
        }
        if (written == 0) return;
        report.remove_prefix(written);
    }
}

}  // namespace trelk::platform
#endif
