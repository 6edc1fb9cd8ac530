// Tables with a row per member of an enum, looked up by position.
#pragma once

#include <cstddef>

namespace trelk::core {

// Whether `rows` holds `count` rows, row i being the row of member i of the key's enum.
template <class Row, std::size_t N, class Key>
constexpr bool one_row_per_key(const Row (&rows)[N], Key Row::*key, std::size_t count) {
    for (std::size_t i = 0; i < N; ++i) {
        if (rows[i].*key != static_cast<Key>(i)) return false;
    }
    return N == count;
}

}  // namespace trelk::core
