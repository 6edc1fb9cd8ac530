// What the interpreter lock serialises, done otherwise where there is none (Py_GIL_DISABLED).
#pragma once

#include <Python.h>

namespace trelk::binding {

// The core takes its shared counts as atomics only when CMake says that the
// interpreter is free-threaded: both must have seen the same interpreter.
#if defined(Py_GIL_DISABLED) != defined(TRELK_FREE_THREADED)
#error "the core and the interpreter headers disagree on free threading: configure against this interpreter"
#endif

// Whether this thread may call the interpreter: with the lock, whether it
// holds it; without, whether its thread state is attached.
inline bool thread_state_attached() noexcept {
#ifdef Py_GIL_DISABLED
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return PyGILState_Check() != 0;
#endif
}

// Held while state made once and kept (a class object, interned names) is
// published. It is held over no Python code, so that no thread that holds it
// can be asked for it again; a thread that waits for it steps aside for the
// interpreter meanwhile.
class PublicationLock {
public:
#ifdef Py_GIL_DISABLED
    PublicationLock() noexcept { PyMutex_Lock(&mutex); }
    ~PublicationLock() { PyMutex_Unlock(&mutex); }
#else
    PublicationLock() noexcept {}
#endif
    PublicationLock(const PublicationLock&) = delete;
    PublicationLock& operator=(const PublicationLock&) = delete;

private:
#ifdef Py_GIL_DISABLED
    static inline PyMutex mutex{};
#endif
};

#ifdef Py_GIL_DISABLED
// A caller's container held still while it is read with borrowed references,
// over code that runs no Python code and so never lets go of it.
class CriticalSection {
public:
    explicit CriticalSection(PyObject* obj) noexcept { PyCriticalSection_Begin(&section_, obj); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
    PyCriticalSection section_;
};
#endif

}  // namespace trelk::binding
