#include "package/outline.hpp"

#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
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

// An option map: each name at most once, in no particular order.
template <class V>
using OptionMap = std::vector<std::pair<std::string, V>>;

struct Outline {
    std::string name;
    std::vector<NodeRef> constraints;
    OptionMap<SpecOptionValue> set_options;
    OptionMap<std::optional<SpecOptionValue>> set_defaults;  // an entry may hold no value
};

struct PackageOutlineObject : Instance {
    Outline value;
    void construct(Outline&& outline) noexcept { new (&value) Outline(std::move(outline)); }
    void destruct() noexcept { value.~Outline(); }
};

// The entries read from a dict, in order. While no Python code can have run,
// they are only noted. From the first conversion that may run Python code on,
// they are held, so that no other object can take their addresses, and the
// dict must then be checked against them at the end: Python code may have
// changed it in any way, and a rebuilt table moves the reading position, so an
// entry could have been skipped.
class ReadLog {
public:
    explicit ReadLog(std::size_t size) { noted_.reserve(size); }

    void note(PyObject* key, PyObject* value) {
        if (held_.empty()) {
            noted_.push_back({key, value});
        } else {
            held_.push_back({Ref::borrow(key), Ref::borrow(value)});
        }
    }
    // Before Python code may run.
    void hold() {
        if (!held_.empty()) return;
        held_.reserve(noted_.capacity());
        for (auto [key, value] : noted_) held_.push_back({Ref::borrow(key), Ref::borrow(value)});
    }
    std::size_t size() const noexcept { return held_.empty() ? noted_.size() : held_.size(); }
    // Whether the dict holds exactly the entries read, in the order read.
    bool matches(PyObject* dict) const {
        if (held_.empty()) return true;  // no Python code ran
        if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(held_.size())) return false;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        for (const HeldEntry& entry : held_) {
            if (!PyDict_Next(dict, &position, &key, &value)) return false;
            if (key != entry.key.get() || value != entry.value.get()) return false;
        }
        return true;
    }

private:
    struct HeldEntry {
        Ref key, value;
    };
    std::vector<std::pair<PyObject*, PyObject*>> noted_;
    std::vector<HeldEntry> held_;
};

// An entry's value when converting it cannot run Python code: false when it can.
bool value_without_python(PyObject* value, SpecOptionValue& out) {
    return spec::spec_option::common_value_from_python(value, out);
}
bool value_without_python(PyObject* value, std::optional<SpecOptionValue>& out) {
    // None is an entry without value in set_defaults, unlike in set_options.
    return value == Py_None || spec::spec_option::common_value_from_python(value, out.emplace());
}
Status value_from_python(PyObject* value, SpecOptionValue& out) {
    return spec::spec_option::spec_option_value_from_python(value, out);
}
Status value_from_python(PyObject* value, std::optional<SpecOptionValue>& out) {
    return spec::spec_option::spec_option_value_from_python(value, out ? *out : out.emplace());
}

// Where two entries have the same name, the later one replaces the earlier.
template <class V>
void keep_last_of_each_name(OptionMap<V>& entries) {
    std::vector<bool> kept(entries.size());
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = entries.size(); i-- > 0;) kept[i] = seen.insert(entries[i].first).second;
    std::size_t next = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (kept[i] && next++ != i) entries[next - 1] = std::move(entries[i]);
    }
    entries.resize(next);
}

// Reads an option dictionary entry by entry into a map, keyed by the text of
// each key. Converting a value can run Python code that changes the
// dictionary; that ends the reading as an internal failure, however it was
// done: a change of size is seen at the next entry, any other change when the
// entries read are checked against the dict at the end.
template <class V>
Result<OptionMap<V>> read_option_dict(PyObject* dict) {
    if (!PyDict_Check(dict)) return type_mismatch(dict, "dict");
    Py_ssize_t initial = PyDict_GET_SIZE(dict), position = 0;
    ReadLog read(static_cast<std::size_t>(initial));
    OptionMap<V> entries;
    entries.reserve(static_cast<std::size_t>(initial));
    bool distinct_names = true;  // keys of the exact str type are distinct texts
    PyObject *key, *value;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != initial) return Error::internal("dictionary changed size during iteration");
        if (!PyDict_Next(dict, &position, &key, &value)) break;
        if (read.size() == static_cast<std::size_t>(initial)) {
            return Error::internal("dictionary keys changed during iteration");
        }
        read.note(key, value);
        Result<std::string_view> name = text_view_from_python(key);
        if (!name.ok()) return name.take_error();
        distinct_names = distinct_names && PyUnicode_CheckExact(key);
        V& stored = entries.emplace_back(std::string(name.value()), V()).second;
        if (value_without_python(value, stored)) continue;
        read.hold();
        if (Status converted = value_from_python(value, stored); !converted.ok()) return converted.take_error();
    }
    if (!read.matches(dict)) return Error::internal("dictionary keys changed during iteration");
    if (!distinct_names) keep_last_of_each_name(entries);
    return entries;
}

struct PackageOutlineConstructor {
    static Signature& signature() {
        static Signature sig{
            "PackageOutline", "__new__", {"name", "constraints", "set_options", "set_defaults"}, 4, 1, true};
        return sig;
    }
    static Result<Ref> build(PyTypeObject* cls, const BoundArguments& arguments);
};

bool given(const Ref& argument) { return argument && argument.get() != Py_None; }

Result<Ref> PackageOutlineConstructor::build(PyTypeObject* cls, const BoundArguments& arguments) {
    Outline outline;
    Result<std::string> name = text_from_python(arguments.slots[0].get());
    if (!name.ok()) return argument_error(name.take_error(), "name");
    outline.name = name.take();

    if (given(arguments.slots[1])) {
        Result<std::vector<NodeRef>> constraints = constraint::constraints_from_python(arguments.slots[1].get());
        if (!constraints.ok()) return argument_error(constraints.take_error(), "constraints");
        outline.constraints = constraints.take();
    }

    if (given(arguments.slots[2])) {
        auto read = read_option_dict<SpecOptionValue>(arguments.slots[2].get());
        if (!read.ok()) return argument_error(read.take_error(), "set_options");
        outline.set_options = read.take();
    }

    if (given(arguments.slots[3])) {
        auto read = read_option_dict<std::optional<SpecOptionValue>>(arguments.slots[3].get());
        if (!read.ok()) return argument_error(read.take_error(), "set_defaults");
        outline.set_defaults = read.take();
    }

    // Every extra keyword is refused; the conversions above are reported first.
    if (arguments.first_extra) {
        Result<std::string> keyword = str_text(arguments.first_extra.get());
        if (!keyword.ok()) return keyword.take_error();
        std::string message = "PyPackageOutline unexpected keyword argument '" + keyword.value() + "'";
        if (tracing::emit_event(tracing::Level::Error, "trelk::package::outline", message) ==
            tracing::Delivery::Interrupted) {
            return Error::pending();
        }
        return Error::value(std::move(message));
    }

    return new_instance<PackageOutlineObject>(cls, std::move(outline));
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
