// Errors raised as the interpreter's exceptions, and Python texts made into messages.
#include "binding/error.hpp"

#include <atomic>
#include <string>

#include "binding/ref.hpp"
#include "core/text_cut.hpp"
#include "core/thread_id.hpp"
#include "core/tracing.hpp"
#include "platform/standard_streams.hpp"

namespace trelk::binding {

namespace {

// Created on first use and kept while the interpreter lives; derives directly
// from BaseException so that `except Exception` does not swallow a broken
// invariant. Threads that create it at once keep the first one stored.
std::atomic<PyObject*> internal_failure{nullptr};

PyObject* internal_failure_class() {
    if (PyObject* made = internal_failure.load(std::memory_order_acquire)) return made;
    Ref made = Ref::steal(PyErr_NewExceptionWithDoc(
        "trelk.InternalFailure", "An invariant of the trelk module did not hold. The message says which.",
        PyExc_BaseException, nullptr));
    if (!made) return nullptr;
    PyObject* first = nullptr;
    if (internal_failure.compare_exchange_strong(first, made.get(), std::memory_order_acq_rel)) return made.release();
    return first;
}

Ref python_text(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "surrogatepass"));
}

}  // namespace

Error Error::python_api_failed(std::source_location where) {
    if (exhaustion_pending()) return pending();
    PyErr_Print();
    return internal("Python API call failed", where);
}

bool Error::is_type_error() const {
    if (kind_ == ErrorKind::Type) return true;
    if (kind_ != ErrorKind::Pending) return false;
    PyObject* pending = PyErr_Occurred();
    return pending != nullptr && pending == PyExc_TypeError;
}

void forget_internal_failure_class() noexcept { internal_failure.store(nullptr, std::memory_order_relaxed); }

void raise_internal_failure(std::string_view message, const std::source_location& where) noexcept {
    // Also reached from a slot's last catch, where nothing may be thrown.
    try {
        std::string report = "trelk: internal failure on thread " + std::to_string(core::current_thread_id()) +
                             " at " + where.file_name() + ":" + std::to_string(where.line()) + ": ";
        report.append(message);
        report.push_back('\n');
        platform::report_on_standard_error(report);
    } catch (...) {
        platform::report_on_standard_error("trelk: internal failure; no memory for its report\n");
    }
    PyObject* cls = internal_failure_class();
    if (cls == nullptr) return;  // its creation set the exception
    raise_exception(cls, message);
}

void raise_error(Error error) {
    switch (error.kind()) {
        case ErrorKind::Pending:
            if (!PyErr_Occurred()) {
                raise_internal_failure("an error was reported without an exception",
                                       std::source_location::current());
            }
            return;
        case ErrorKind::Internal:
            raise_internal_failure(error.message(), error.where());
            return;
        case ErrorKind::Type: raise_exception(PyExc_TypeError, error.message()); return;
        case ErrorKind::Value: raise_exception(PyExc_ValueError, error.message()); return;
        case ErrorKind::NotImplemented: raise_exception(PyExc_NotImplementedError, error.message()); return;
        case ErrorKind::Runtime: raise_exception(PyExc_RuntimeError, error.message()); return;
    }
}

void raise_exception(PyObject* cls, std::string_view message) {
    Ref text = python_text(message);
    if (text) PyErr_SetObject(cls, text.get());
}

Error argument_error(Error error, const char* name) {
    if (error.kind() == ErrorKind::Type) {
        return Error::type("argument '" + std::string(name) + "': " + error.message());
    }
    if (!error.is_type_error()) return error;
    Ref caught = Ref::steal(take_pending_to_drop());
    Ref caught_text = Ref::steal(PyObject_Str(caught.get()));
    if (!caught_text) return Error::pending();
    Result<std::string> text = message_text(caught_text.get());
    if (!text.ok()) return text.take_error();
    Ref message = python_text("argument '" + std::string(name) + "': " + text.value());
    if (!message) return Error::pending();
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return Error::pending();
    if (PyObject* cause = PyException_GetCause(caught.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return Error::pending();
}

bool exhaustion_pending() {
    return PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_RecursionError);
}

bool discard_ordinary_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || exhaustion_pending()) return false;
    PyErr_Clear();
    return true;
}

namespace {

// What a message shows for a text that could not be made.
Result<std::string> stand_in(const char* text) {
    if (!discard_ordinary_exception()) return Error::pending();
    return std::string(text);
}

}  // namespace

Result<std::string> message_text(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) return stand_in("<unprintable>");
    // Only what goes before the cut is encoded.
    const bool cut = static_cast<std::uint64_t>(length) > core::text_cut::text_bound;
    Ref kept = cut ? Ref::steal(PyUnicode_Substring(text, 0, static_cast<Py_ssize_t>(core::text_cut::text_bound)))
                   : Ref::borrow(text);
    Ref bytes = kept ? Ref::steal(PyUnicode_AsEncodedString(kept.get(), "utf-8", "surrogatepass")) : Ref();
    if (!bytes) return stand_in("<unprintable>");
    std::string out(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    if (cut) core::text_cut::append_cut_mark(out, static_cast<std::uint64_t>(length));
    return out;
}

Result<std::string> str_text(PyObject* obj) {
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text) return stand_in("<unprintable>");
    return message_text(text.get());
}

Error reported_refusal(std::string_view target, Error refusal) {
    if (core::tracing::emit_event(core::tracing::Level::Error, target, refusal.message()).kind == core::tracing::Outcome::Interrupted) {
        return Error::pending();
    }
    return refusal;
}

Error type_mismatch(PyObject* obj, std::string_view expected) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    Result<std::string> name = qualname ? message_text(qualname.get()) : stand_in("<failed to extract type name>");
    if (!name.ok()) return name.take_error();
    std::string message = "'" + name.value() + "' object cannot be cast as '";
    message.append(expected);
    message.push_back('\'');
    return Error::type(std::move(message));
}

}  // namespace trelk::binding
