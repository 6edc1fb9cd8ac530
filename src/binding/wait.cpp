#include <Python.h>

#include "binding/wait.hpp"

namespace trelk::binding {

namespace {

void* release_interpreter() noexcept { return PyEval_SaveThread(); }

// A thread that shutdown ends here parks (binding/thread_exit.hpp): every
// slot, and so every waiting thread, has been kept from unwinding.
void restore_interpreter(void* state) noexcept { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }

// The handlers run on the main thread only; elsewhere this finds nothing to do.
bool run_signal_handlers() noexcept { return PyErr_CheckSignals() == 0; }

// A signal ends a wait by itself.
void* interrupt_event() noexcept { return nullptr; }

}  // namespace

const core::tracing::WaitPolicy interpreter_wait_policy = {release_interpreter, restore_interpreter, run_signal_handlers,
                                                           interrupt_event};

}  // namespace trelk::binding
