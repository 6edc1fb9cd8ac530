// How a thread that holds the interpreter waits (for standard output, another's
// access, the module's construction): stepped aside, so that other threads go on,
// and running the signal handlers when a signal cuts it short, as print() does.
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
