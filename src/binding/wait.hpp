// How a thread that holds the interpreter waits, for standard output or for
// the module's construction: without the interpreter lock, so that every other
// thread goes on meanwhile, and with the interpreter's signal handlers run when
// a signal cuts the wait short, so that Ctrl-C ends it with KeyboardInterrupt
// as it ends a blocked print().
#pragma once

#include "core/tracing.hpp"

namespace trelk::binding {

extern const core::tracing::WaitPolicy interpreter_wait_policy;

// For the end of the interpreter, calling nothing of Python. A thread that
// waits for standard output needs no interpreter, and may outlive the one it
// stepped aside from into the next that an embedding program starts: it then
// parks instead of coming back with a thread state that is gone.
void forget_waiting_threads() noexcept;

}  // namespace trelk::binding
