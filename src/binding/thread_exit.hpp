// Daemon threads at the interpreter's shutdown.
//
// Up to 3.13, the interpreter ends a thread that asks for the interpreter lock
// back once shutdown has begun by unwinding its stack. Inside a module call
// that runs Python code (a UserList, an __index__, any finalizer) that stack
// holds the module's frames, whose cleanups would then touch objects, pools and
// locks without the lock while the main thread tears them down. A thread ended
// inside a module call parks instead, before any of its frames is unwound:
// what it holds is left to the ending process (never the line lock, which no
// thread holds while it asks for the interpreter). From 3.14 on, the
// interpreter parks such threads itself; off glibc, threads are ended without
// unwinding, and there is nothing to keep.
#pragma once

#include <Python.h>

#include "platform/thread_exit.hpp"

namespace trelk::binding {

// Held by every slot for as long as it runs.
#if PY_VERSION_HEX < 0x030E0000
using InsideModule = platform::KeptFromUnwinding;
#else
struct InsideModule {};
#endif

}  // namespace trelk::binding
