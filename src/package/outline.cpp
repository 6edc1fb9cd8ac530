#include "package/outline.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/constructor.hpp"
#include "binding/text.hpp"
#include "package/constraint/convert.hpp"
#include "spec/spec_option_python.hpp"
#include "tracing/event.hpp"

namespace trelk::package::outline {

using namespace trelk::binding;
using constraint::NodeRef;
using spec::spec_option::SpecOptionValue;

namespace {

struct Outline {
    std::string name;
    std::vector<NodeRef> constraints;
    // Keyed by the exact text; a later key of the same text replaces an earlier one.
    std::unordered_map<std::string, SpecOptionValue> set_options;
    std::unordered_map<std::string, std::optional<SpecOptionValue>> set_defaults;
};

struct PackageOutlineObject : Instance {
    Outline value;
    void construct(Outline&& outline) noexcept { new (&value) Outline(std::move(outline)); }
    void destruct() noexcept { value.~Outline(); }
};

// Reads an option dictionary entry by entry. Converting a value can run Python
// code that changes the dictionary; that ends the reading as an internal
// failure. `convert` gives an error or stores the entry.
template <class Convert>
Status read_option_dict(PyObject* dict, Convert&& convert) {
    if (!PyDict_Check(dict)) return type_mismatch(dict, "dict");
    Py_ssize_t initial = PyDict_GET_SIZE(dict), seen = 0, position = 0;
    PyObject *key, *value;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != initial) return Error::internal("dictionary changed size during iteration");
        if (!PyDict_Next(dict, &position, &key, &value)) return success();
        if (seen++ == initial) return Error::internal("dictionary keys changed during iteration");
        // Held for the conversion, which may drop them from the dictionary.
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        Result<std::string> name = text_from_python(held_key.get());
        if (!name.ok()) return name.take_error();
        if (Status stored = convert(name.take(), held_value.get()); !stored.ok()) return stored;
    }
}

struct PackageOutlineConstructor {
    static Signature& signature() {
        static Signature sig{
            "PackageOutline", "__new__", {"name", "constraints", "set_options", "set_defaults"}, 4, 1, true};
        return sig;
    }
    static Result<Ref> build(PyTypeObject* cls, const BoundArguments& arguments);
};

bool given(PyObject* argument) { return argument != nullptr && argument != Py_None; }

Result<Ref> PackageOutlineConstructor::build(PyTypeObject* cls, const BoundArguments& arguments) {
    Outline outline;
    Result<std::string> name = text_from_python(arguments.slots[0]);
    if (!name.ok()) return argument_error(name.take_error(), "name");
    outline.name = name.take();

    if (given(arguments.slots[1])) {
        Result<std::vector<NodeRef>> constraints = constraint::constraints_from_python(arguments.slots[1]);
        if (!constraints.ok()) return argument_error(constraints.take_error(), "constraints");
        outline.constraints = constraints.take();
    }

    if (given(arguments.slots[2])) {
        Status read = read_option_dict(arguments.slots[2], [&](std::string key, PyObject* value) -> Status {
            Result<SpecOptionValue> converted = spec::spec_option::spec_option_value_from_python(value);
            if (!converted.ok()) return converted.take_error();
            outline.set_options.insert_or_assign(std::move(key), converted.take());
            return success();
        });
        if (!read.ok()) return argument_error(read.take_error(), "set_options");
    }

    if (given(arguments.slots[3])) {
        // None is an entry without value here, unlike in set_options.
        Status read = read_option_dict(arguments.slots[3], [&](std::string key, PyObject* value) -> Status {
            std::optional<SpecOptionValue> stored;
            if (value != Py_None) {
                Result<SpecOptionValue> converted = spec::spec_option::spec_option_value_from_python(value);
                if (!converted.ok()) return converted.take_error();
                stored = converted.take();
            }
            outline.set_defaults.insert_or_assign(std::move(key), std::move(stored));
            return success();
        });
        if (!read.ok()) return argument_error(read.take_error(), "set_defaults");
    }

    // Every extra keyword is refused; the conversions above are reported first.
    if (arguments.first_extra != nullptr) {
        Result<std::string> keyword = str_text(arguments.first_extra);
        if (!keyword.ok()) return keyword.take_error();
        std::string message = "PyPackageOutline unexpected keyword argument '" + keyword.value() + "'";
        if (tracing::emit_event(tracing::Level::Error, "trelk::package::outline", message) ==
            tracing::Delivery::Interrupted) {
            return Error::pending();
        }
        return Error::value(std::move(message));
    }

    Ref obj = new_instance<PackageOutlineObject>(cls, std::move(outline));
    if (!obj) return Error::pending();
    return obj;
}

PyType_Slot package_outline_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("PackageOutline(name, constraints=None, set_options=None, set_defaults=None, **kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(constructor_new<PackageOutlineConstructor>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<PackageOutlineObject>)},
    {0, nullptr},
};

}  // namespace

ClassDef package_outline_class{
    .name = "PackageOutline",
    .type_name = "builtins.PackageOutline",
    .basicsize = sizeof(PackageOutlineObject),
    .instantiable = true,
    .slots = package_outline_slots,
    .vectorcall = constructor_vectorcall<PackageOutlineConstructor>,
};

}  // namespace trelk::package::outline
