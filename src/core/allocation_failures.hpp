// The failure countdown of a test build (TRELK_ALLOCATION_FAILURES).
//
// The module's own allocations, operator new and the pools, fail from a chosen
// point on, so that a test can fail each of them in turn, and the blocks that
// they hand out are counted, so that a test can see none is lost. In any other
// build these are no-ops.
#pragma once

namespace trelk::core::allocation_failures {

#ifdef TRELK_ALLOCATION_FAILURES
// Whether the next allocation fails, as the countdown says.
bool next_fails() noexcept;
// A block taken (+1) or given back (-1).
void count_block(int change) noexcept;
#else
constexpr bool next_fails() noexcept { return false; }
constexpr void count_block(int) noexcept {}
#endif

}  // namespace trelk::core::allocation_failures
