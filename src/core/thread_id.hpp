// Thread ids never reused within the process, unlike the system's: an object
// bound to an ended thread stays foreign to every later one.
#pragma once

#include <cstdint>

namespace trelk::core {

std::uint64_t current_thread_id() noexcept;

}  // namespace trelk::core
