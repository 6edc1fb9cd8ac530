// What a forked child must set right: the child has only the thread that
// forked, so a lock or latch that another thread held is held by no one.
#pragma once

namespace trelk::platform {

// Runs `handler` in every child that this process forks from now on, before
// fork returns there. Registered once per handler; false if the system refused.
bool run_in_forked_children(void (*handler)() noexcept) noexcept;

}  // namespace trelk::platform
