#include <Python.h>

#include "binding/wait.hpp"

#if defined(MS_WINDOWS)
// Exported by the interpreter for its own extension modules; declared by its
// internal headers since 3.12.
extern "C" {
PyAPI_FUNC(int) _PyOS_IsMainThread(void);
PyAPI_FUNC(void*) _PyOS_SigintEvent(void);
}
#endif

namespace trelk::binding {

namespace {

void* release_interpreter() noexcept { return PyEval_SaveThread(); }

// A thread that shutdown ends here parks (binding/thread_exit.hpp): every
// slot, and so every waiting thread, has been kept from unwinding.
void restore_interpreter(void* state) noexcept { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }

// The handlers run on the main thread only; elsewhere this finds nothing to do.
bool run_signal_handlers() noexcept { return PyErr_CheckSignals() == 0; }

#if defined(MS_WINDOWS)
// Ctrl-C ends no wait by itself: the interpreter sets this event once its
// handler has marked the signal. Only the main thread, where the handlers
// run, waits for it (and resets it), as the interpreter's own waits do.
void* interrupt_event() noexcept { return _PyOS_IsMainThread() ? _PyOS_SigintEvent() : nullptr; }
#else
void* interrupt_event() noexcept { return nullptr; }
#endif

}  // namespace

const core::tracing::WaitPolicy interpreter_wait_policy = {release_interpreter, restore_interpreter,
                                                           run_signal_handlers, interrupt_event};

}  // namespace trelk::binding
