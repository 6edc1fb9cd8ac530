// How a thread that holds the interpreter waits, for standard output or for
// the module's construction: without the interpreter lock, so that every other
// thread goes on meanwhile, and with the interpreter's signal handlers run when
// a signal cuts the wait short, so that Ctrl-C ends it with KeyboardInterrupt
// as it ends a blocked print().
#pragma once

#include "core/tracing.hpp"

namespace trelk::binding {

extern const core::tracing::WaitPolicy interpreter_wait_policy;

}  // namespace trelk::binding
