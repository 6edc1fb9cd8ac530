#include "binding/error.hpp"

#include <string>

#include "binding/ref.hpp"
#include "core/thread_id.hpp"
#include "core/tracing.hpp"
#include "platform/standard_streams.hpp"

namespace trelk::binding {

namespace {

// Created once, on first use; derives directly from BaseException so that
// `except Exception` does not swallow a broken invariant.
PyObject* internal_failure_class() {
    static PyObject* cls = nullptr;
    if (cls == nullptr) {
        cls = PyErr_NewExceptionWithDoc(
            "trelk.InternalFailure",
            "An invariant of the trelk module did not hold. The message says which.",
            PyExc_BaseException, nullptr);
    }
    return cls;
}

PyObject* exception_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::NotImplemented: return PyExc_NotImplementedError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::Pending:
        case ErrorKind::Internal: break;
    }
    return nullptr;
}

Ref python_text(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "surrogatepass"));
}

}  // namespace

Error Error::python_api_failed(std::source_location where) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return pending();
    PyErr_Print();
    return internal("Python API call failed", where);
}

bool Error::is_type_error() const {
    if (kind_ == ErrorKind::Type) return true;
    if (kind_ != ErrorKind::Pending) return false;
    PyObject* pending = PyErr_Occurred();
    return pending != nullptr && pending == PyExc_TypeError;
}

void raise_internal_failure(std::string_view message, const std::source_location& where) {
    std::string report = "trelk: internal failure on thread " + std::to_string(current_thread_id()) +
                         " at " + where.file_name() + ":" + std::to_string(where.line()) + ": ";
    report.append(message);
    report.push_back('\n');
    platform::report_on_standard_error(report);
    PyObject* cls = internal_failure_class();
    if (cls == nullptr) return;  // its creation set the exception
    Ref text = python_text(message);
    if (text) PyErr_SetObject(cls, text.get());
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
        default: {
            Ref text = python_text(error.message());
            if (text) PyErr_SetObject(exception_class(error.kind()), text.get());
            return;
        }
    }
}

Error argument_error(Error error, const char* name) {
    if (error.kind() == ErrorKind::Type) {
        return Error::type("argument '" + std::string(name) + "': " + error.message());
    }
    if (!error.is_type_error()) return error;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref caught_type = Ref::steal(type), caught = Ref::steal(value), caught_tb = Ref::steal(traceback);
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, caught.get()));
    if (!message) return Error::pending();
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return Error::pending();
    if (PyObject* cause = PyException_GetCause(caught.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return Error::pending();
}

std::string message_text(PyObject* text) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Result<std::string> str_text(PyObject* obj) {
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Error::pending();
        PyErr_Clear();
        return std::string("<unprintable>");
    }
    return message_text(text.get());
}

Error reported_refusal(std::string_view target, Error refusal) {
    if (tracing::emit_event(tracing::Level::Error, target, refusal.message()) == tracing::Delivery::Interrupted) {
        return Error::pending();
    }
    return refusal;
}

Error type_mismatch(PyObject* obj, std::string_view expected) {
    std::string name;
    if (Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)))) {
        name = message_text(qualname.get());
    } else {
        PyErr_Clear();
        name = "<failed to extract type name>";
    }
    std::string message = "'" + name + "' object cannot be cast as '";
    message.append(expected);
    message.push_back('\'');
    return Error::type(std::move(message));
}

}  // namespace trelk::binding
