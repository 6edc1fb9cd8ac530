// Binding a call's arguments to a signature, with the refusals' messages.
#include "binding/args.hpp"

#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace trelk::binding {

namespace {

std::string full_name(const Signature& sig) {
    return std::string(sig.class_name) + "." + sig.function_name + "()";
}

// The last signature whose names were interned; each links to the one before.
Signature* last_interned = nullptr;

// All of a signature's names or none, so that every signature that holds one
// is in the list. Made before they are published, and published by one
// thread: any other that made them too drops its own.
bool intern_names(Signature& sig) {
    if (sig.names_interned.load(std::memory_order_acquire)) return true;
    std::array<Ref, max_parameters> made;
    for (std::size_t i = 0; i < sig.count; ++i) {
        made[i] = Ref::steal(PyUnicode_InternFromString(sig.names[i]));
        if (!made[i]) return false;
    }
    PublicationLock publishing;
    if (sig.names_interned.load(std::memory_order_relaxed)) return true;
    for (std::size_t i = 0; i < sig.count; ++i) sig.interned[i] = made[i].release();
    sig.interned_before = std::exchange(last_interned, &sig);
    sig.names_interned.store(true, std::memory_order_release);
    return true;
}

bool check_surplus(const Signature& sig, std::size_t nargs) {
    if (nargs <= sig.count) return true;
    std::string message = full_name(sig) + " takes ";
    if (sig.required != sig.count) message += "from " + std::to_string(sig.required) + " to ";
    message += std::to_string(sig.count) + " positional arguments but " + std::to_string(nargs) +
               (nargs == 1 ? " was given" : " were given");
    raise_exception(PyExc_TypeError, message);
    return false;
}

constexpr int names_none = -1, failed = -2;

// The parameter that `key` names, or names_none: a key that is no str, or that
// has no UTF-8 form, names none. Failed, with the exception pending, when that
// cannot be told (no memory for the UTF-8 form).
int parameter_of(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (sig.interned[i] == key) return static_cast<int>(i);
    }
    if (!PyUnicode_Check(key)) return names_none;
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) return discard_ordinary_exception() ? names_none : failed;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (std::strlen(sig.names[i]) == static_cast<size_t>(size) &&
            std::memcmp(sig.names[i], text, static_cast<size_t>(size)) == 0) {
            return static_cast<int>(i);
        }
    }
    return names_none;
}

bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, BoundArguments& bound) {
    int index = parameter_of(sig, key);
    if (index == failed) return false;
    if (index >= 0) {
        if (bound.slots[static_cast<size_t>(index)]) {
            raise_exception(PyExc_TypeError, full_name(sig) + " got multiple values for argument '" +
                                                 sig.names[static_cast<size_t>(index)] + "'");
            return false;
        }
        bound.slots[static_cast<size_t>(index)] = Ref::borrow(value);
        return true;
    }
    if (sig.collects_extra) {
        if (!bound.first_extra) bound.first_extra = Ref::borrow(key);
        return true;
    }
    Ref key_text = Ref::steal(PyObject_Str(key));
    if (!key_text) return false;
    Result<std::string> name = message_text(key_text.get());  // cut, as user texts in messages are
    if (!name.ok()) {
        raise_error(name.take_error());
        return false;
    }
    raise_error(Error::type(full_name(sig) + " got an unexpected keyword argument '" + name.value() + "'"));
    return false;
}

bool check_missing(const Signature& sig, const BoundArguments& bound) {
    std::size_t missing[max_parameters];
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!bound.slots[i]) missing[count++] = i;
    }
    if (count == 0) return true;
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        list += "'";
        list += sig.names[missing[i]];
        list += "'";
    }
    raise_exception(PyExc_TypeError, full_name(sig) + " missing " + std::to_string(count) + " required positional " +
                                         (count == 1 ? "argument: " : "arguments: ") + list);
    return false;
}

}  // namespace

void forget_interned_names() noexcept {
    for (Signature* sig = std::exchange(last_interned, nullptr); sig != nullptr;
         sig = std::exchange(sig->interned_before, nullptr)) {
        sig->abandoned = std::exchange(sig->interned, {});
        sig->names_interned.store(false, std::memory_order_relaxed);
    }
}

bool bind_arguments_in_full(Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                            BoundArguments& bound) {
    std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (!check_surplus(sig, nargs)) return false;
    for (std::size_t i = 0; i < nargs; ++i) bound.slots[i] = Ref::borrow(args[i]);
    if (kwnames != nullptr) {
        if (!intern_names(sig)) return false;
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<size_t>(i)], bound)) {
                return false;
            }
        }
    }
    return check_missing(sig, bound);
}

bool bind_arguments(Signature& sig, PyObject* args, PyObject* kwargs, BoundArguments& bound) {
    std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (!check_surplus(sig, nargs)) return false;
    for (std::size_t i = 0; i < nargs; ++i) bound.slots[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        if (!intern_names(sig)) return false;
#ifdef Py_GIL_DISABLED
        // A caller may hand over a dict that other threads change meanwhile:
        // its entries are read from a copy of its own.
        Ref copy = Ref::steal(PyDict_Copy(kwargs));
        if (!copy) return false;
        kwargs = copy.get();
#endif
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(sig, key, value, bound)) return false;
        }
    }
    return check_missing(sig, bound);
}

}  // namespace trelk::binding
