// Thread ids, counted from 1 in the order threads first ask.
#include "core/thread_id.hpp"

#include <atomic>

namespace trelk::core {

std::uint64_t current_thread_id() noexcept {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace trelk::core
