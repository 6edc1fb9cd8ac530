// What differs between interpreter versions 3.11 to 3.15, behind names that read the same.
#pragma once

#include <Python.h>

#include "platform/threads.hpp"

#if PY_VERSION_HEX < 0x030C0000
namespace trelk::binding::detail {
// 3.11 keeps the pending exception as three parts: the object, normalized,
// taken with its traceback written into it when asked.
inline PyObject* take_pending_object(bool write_traceback) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (write_traceback && value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}
}  // namespace trelk::binding::detail

// 3.12's pending exception as one object, its traceback in it.
inline PyObject* PyErr_GetRaisedException() { return trelk::binding::detail::take_pending_object(true); }
#endif

#if defined(MS_WINDOWS) && PY_VERSION_HEX >= 0x030D0000
// Exported for the interpreter's own extension modules; only its internal
// headers declare them from 3.13 on.
extern "C" {
PyAPI_FUNC(int) _PyOS_IsMainThread(void);
PyAPI_FUNC(void*) _PyOS_SigintEvent(void);
}
#endif

namespace trelk::binding {

// Held by every slot while it runs: up to 3.13, a daemon thread stopped at
// shutdown is unwound, and parks instead; 3.14 parks it (docs/design.md,
// "State and threads").
#if PY_VERSION_HEX < 0x030E0000
using InsideModule = platform::KeptFromUnwinding;
#else
struct InsideModule {};
#endif

// Without the lock, 3.13 makes the classes and functions of Python code
// immortal once a second thread starts, and the module makes its classes so
// too (binding/class.cpp). 3.14 does not, and is left to count as it does.
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
#define TRELK_IMMORTAL_CLASSES 1
#endif

// The pending exception as one object, taken to be dropped: on 3.11 its
// __traceback__ stays as it was, as when C code clears an exception, rather
// than keep the frames of a hook in an exception that a caller may hold.
inline PyObject* take_pending_to_drop() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    return detail::take_pending_object(false);
#endif
}

// The pending exception, set aside while other Python code runs and put back
// as it was. 3.11 keeps it as three parts, and so must this: made one object,
// it would be normalized and its __traceback__ written, which 3.11 does only
// where a handler catches it (an exception that C code clears never is).
class PendingSetAside {
public:
    PendingSetAside() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exception_, &traceback_);
#endif
    }
    ~PendingSetAside() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception_);
#else
        PyErr_Restore(type_, exception_, traceback_);
#endif
    }
    PendingSetAside(const PendingSetAside&) = delete;
    PendingSetAside& operator=(const PendingSetAside&) = delete;

private:
    PyObject* exception_;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_;
    PyObject* traceback_;
#endif
};

// Whether the interpreter takes a module with single-phase initialisation. One
// that checks its extensions (an isolated one, with a GIL of its own) refuses
// such a module, but on 3.12 only after the entry point ran: bound to it, the
// module would be lost to every interpreter. From 3.13 on, the interpreter runs
// this entry point in the main interpreter, so the case does not arise.
inline bool takes_single_phase_modules([[maybe_unused]] PyInterpreterState* interpreter) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    return !_PyInterpreterState_HasFeature(interpreter, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS);
#else
    return true;
#endif
}

}  // namespace trelk::binding
