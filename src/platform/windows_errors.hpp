// Windows' errors as the error numbers of <cerrno>, in which the module reports them.
#pragma once

#include <windows.h>

#include <cerrno>

namespace trelk::platform {

inline int error_number(DWORD error) noexcept {
    switch (error) {
        case ERROR_OPERATION_ABORTED: return EINTR;  // a write cancelled for the host's signal handlers
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return EPIPE;  // the reading end is closed
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_ACCESS_DENIED: return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NO_SYSTEM_RESOURCES: return ENOMEM;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        default: return EIO;
    }
}

}  // namespace trelk::platform
