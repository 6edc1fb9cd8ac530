#include <Python.h>
#include <unistd.h>

#include "binding/wait.hpp"

namespace trelk::binding {

namespace {

void* release_interpreter() noexcept { return PyEval_SaveThread(); }

void restore_interpreter(void* state) noexcept {
    try {
        PyEval_RestoreThread(static_cast<PyThreadState*>(state));
    } catch (...) {
        // Once the interpreter shuts down, it ends a thread that asks for it back
        // by unwinding the thread's stack, which the module's C++ frames that
        // called this cannot let pass. This thread parks here instead, until the
        // process ends, and the line it may be writing is given up.
        tracing::let_go_of_line();
        for (;;) pause();
    }
}

// The handlers run on the main thread only; elsewhere this finds nothing to do.
bool run_signal_handlers() noexcept { return PyErr_CheckSignals() == 0; }

}  // namespace

const tracing::WaitPolicy interpreter_wait_policy = {release_interpreter, restore_interpreter, run_signal_handlers};

}  // namespace trelk::binding
