// Errors as values, and their one way into the interpreter.
//
// Logic returns `Result<T>`; only the boundary turns an `Error` into a Python
// exception (`raise_error`), and every slot runs inside `guarded`, so nothing
// thrown in C++ reaches the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding/ref.hpp"
#include "binding/python_compat.hpp"

namespace trelk::binding {

enum class ErrorKind {
    Pending,  // a Python exception is already set in the interpreter
    Type,
    Value,
    NotImplemented,
    Runtime,
    Internal,  // a broken invariant: the internal-failure exception
};

class [[nodiscard]] Error {
public:
    static Error pending() { return Error(ErrorKind::Pending, {}); }
    static Error type(std::string message) { return Error(ErrorKind::Type, std::move(message)); }
    static Error value(std::string message) { return Error(ErrorKind::Value, std::move(message)); }
    static Error not_implemented(std::string message) {
        return Error(ErrorKind::NotImplemented, std::move(message));
    }
    static Error runtime(std::string message) { return Error(ErrorKind::Runtime, std::move(message)); }
    static Error internal(std::string message,
                          std::source_location where = std::source_location::current()) {
        Error e(ErrorKind::Internal, std::move(message));
        e.where_ = where;
        return e;
    }
    // An interpreter call that cannot fail in normal operation failed. Running
    // out of memory or stack is no broken invariant: its exception propagates
    // as it is (`exhaustion_pending`). Any other error is printed, then
    // reported as an internal failure.
    static Error python_api_failed(std::source_location where = std::source_location::current());

    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    // Whether this is a TypeError, set in the interpreter or not yet.
    bool is_type_error() const;

private:
    Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    ErrorKind kind_;
    std::string message_;
    std::source_location where_;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    T& value() noexcept { return *std::get_if<0>(&v_); }
    Error& error() noexcept { return *std::get_if<1>(&v_); }
    T take() { return std::move(value()); }
    Error take_error() { return std::move(error()); }

private:
    std::variant<T, Error> v_;
};

using Status = Result<std::monostate>;
inline Status success() { return Status(std::monostate{}); }

// Sets the Python exception that `error` stands for.
void raise_error(Error error);
// Sets an exception of class `cls` with `message`; when the message cannot be
// made, the MemoryError stays instead (the interpreter's own PyErr_Format and
// PyErr_SetString replace it by a `cls` without a message in earlier 3.11 releases).
void raise_exception(PyObject* cls, std::string_view message);

// A slot's result: the new reference, or null with the error raised.
inline PyObject* hand_over(Result<Ref> result) {
    if (result.ok()) return result.value().release();
    raise_error(result.take_error());
    return nullptr;
}

// Raises the internal-failure exception after reporting it on standard error.
void raise_internal_failure(std::string_view message, const std::source_location& where) noexcept;
// For the end of the interpreter, calling nothing of Python: the
// internal-failure class, to be made anew by the next interpreter.
void forget_internal_failure_class() noexcept;

// The argument-error convention: an exact TypeError from converting argument
// `name` gains the prefix "argument '<name>': "; any other error passes unchanged.
Error argument_error(Error error, const char* name);

// Whether the pending exception is a MemoryError or a RecursionError, which
// reach the caller unchanged wherever the module would pass over, wrap or
// reword an exception (docs/design.md, "One call").
bool exhaustion_pending();

// After a call failed with an exception that the caller may pass over (a
// failed conversion attempt, a failed str() for a message): an ordinary
// Exception is discarded (true). Anything else must propagate (false): an
// interrupt, and an exhaustion (above).
bool discard_ordinary_exception();

// UTF-8 of a Python text, keeping lone surrogates, for messages built in C++;
// one longer than the cut of texts in messages is cut there and marked. A
// text that cannot be encoded leaves a stand-in, unless the failure must
// propagate.
Result<std::string> message_text(PyObject* text);
// str() of `obj`, as message text; a failure of str() as above.
Result<std::string> str_text(PyObject* obj);
// A refusal reported first as an ERROR event of `target` with the same text,
// so that the event is written even when a caller discards the error; a
// signal handler that raised while the line was written wins over the refusal.
Error reported_refusal(std::string_view target, Error refusal);

// The type-mismatch error: "'<type>' object cannot be cast as '<expected>'".
Error type_mismatch(PyObject* obj, std::string_view expected);

// What a slot returns when it fails: null for an object, -1 for a status.
template <class R>
constexpr R slot_failure() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        static_assert(std::is_same_v<R, int>, "a slot returns an object or a status");
        return -1;
    }
}

// Runs a slot body: C++ exceptions become Python exceptions, `std::bad_alloc`
// becomes MemoryError, and the slot's failure value is returned for them.
template <class F, class R = std::invoke_result_t<F>>
R guarded(F&& body) noexcept {
    [[maybe_unused]] InsideModule inside;
    check_python_may_run();  // a slot entered from Python code run under write access
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_failure(e.what(), std::source_location::current());
    } catch (...) {
        raise_internal_failure("unknown C++ exception", std::source_location::current());
    }
    return slot_failure<R>();
}

}  // namespace trelk::binding
