// Daemon threads at the interpreter's shutdown.
//
// Up to 3.13, the interpreter ends a thread that asks for the interpreter lock
// back once shutdown has begun by unwinding its stack. Inside a module call
// that runs Python code (a UserList, an __index__, any finalizer) that stack
// holds the module's frames, whose cleanups would then touch objects, pools and
// locks without the lock while the main thread tears them down. A thread that
// has entered the module parks instead, before any of its frames is unwound,
// giving up the line lock first; what it holds is left to the ending process.
// From 3.14 on, the interpreter parks such threads itself.
#pragma once

#include <Python.h>

#include "core/tracing.hpp"
#include "platform/thread_exit.hpp"

namespace trelk::binding {

#if PY_VERSION_HEX < 0x030E0000
namespace detail {
// Read without the interpreter lock, as the interpreter itself does here.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}
}  // namespace detail
#endif

// Called by every slot before it can run Python code.
inline void keep_thread_at_shutdown() noexcept {
#if PY_VERSION_HEX < 0x030E0000
    platform::keep_from_unwinding(detail::interpreter_finalizing, tracing::let_go_of_line);
#endif
}

}  // namespace trelk::binding
