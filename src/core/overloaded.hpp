// A visitor made of lambdas, one for each alternative of a variant.
#pragma once

namespace trelk::core {

template <class... Lambdas>
struct Overloaded : Lambdas... {
    using Lambdas::operator()...;
};
template <class... Lambdas>
Overloaded(Lambdas...) -> Overloaded<Lambdas...>;  // for compilers without aggregate deduction

}  // namespace trelk::core
