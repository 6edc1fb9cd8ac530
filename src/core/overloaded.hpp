// A visitor made of lambdas, one for each alternative of a variant.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace trelk::core {

template <class... Lambdas>
struct Overloaded : Lambdas... {
    using Lambdas::operator()...;
};
template <class... Lambdas>
Overloaded(Lambdas...) -> Overloaded<Lambdas...>;  // for compilers without aggregate deduction

// std::visit of a visitor that must take every alternative: one that misses a
// new alternative fails with this one line, not pages of <variant>'s insides.
template <class Visitor, class... Alternatives>
decltype(auto) visit_every(Visitor&& visitor, const std::variant<Alternatives...>& value) {
    constexpr bool takes_every = (std::is_invocable_v<Visitor, const Alternatives&> && ...);
    if constexpr (takes_every) {
        return std::visit(std::forward<Visitor>(visitor), value);
    } else {
        static_assert(takes_every, "visit_every: the visitor has no case for an alternative of the variant");
    }
}

}  // namespace trelk::core
