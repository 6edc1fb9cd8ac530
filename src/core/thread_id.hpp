// Thread identities that are never reused within the process, unlike the
// system's, so that an object bound to an exited thread stays foreign to every
// later thread.
#pragma once

#include <cstdint>

namespace trelk::core {

std::uint64_t current_thread_id() noexcept;

}  // namespace trelk::core
