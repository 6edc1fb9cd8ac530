// The interpreter's wait policy, and the threads left waiting when an interpreter ends.
#include "binding/wait.hpp"

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/python_compat.hpp"
#include "platform/threads.hpp"

namespace trelk::binding {

namespace {

// The interpreters ended so far in this process, and how many had ended when
// this thread last stepped aside.
std::atomic<std::uint64_t> interpreters_ended{0};
thread_local std::uint64_t ended_when_aside = 0;

void* release_interpreter() noexcept {
    ended_when_aside = interpreters_ended.load(std::memory_order_relaxed);
    return PyEval_SaveThread();
}

// A thread that shutdown ends here parks (`InsideModule`). One whose
// interpreter has ended since it stepped aside parks here.
void restore_interpreter(void* state) noexcept {
    if (interpreters_ended.load(std::memory_order_acquire) != ended_when_aside) platform::park_forever();
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
}

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

void forget_waiting_threads() noexcept { interpreters_ended.fetch_add(1, std::memory_order_release); }

}  // namespace trelk::binding
