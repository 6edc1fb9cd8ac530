// The class PackageOutline: its constructor reads the constraints and option dicts, converted and checked in one call.
#include "classes/outline.hpp"

#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "binding/constructor.hpp"
#include "binding/free_threaded.hpp"
#include "binding/text.hpp"
#include "classes/constraint.hpp"
#include "classes/spec_option.hpp"

namespace trelk::classes::outline {

using namespace trelk::binding;
using constraint::NodeRef;
using spec_option::SpecOptionValue;

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

// Reads a dict's entries in order: straight from the dict while no Python code
// can have run, and from the first conversion that may run Python code on,
// from a snapshot of the whole dict taken at that moment. The snapshot holds
// every key and value, so Python code can neither move the reading position
// (a rebuilt table would skip entries) nor free what is read, and the dict
// must still hold exactly the snapshot at the end: any change, however it was
// made, is seen. Without the interpreter lock, other threads may change the
// dict at any moment: it is read from a snapshot taken at once, and compared
// at the end only if Python code ran, both under the dict's critical section.
// A change that another thread makes while no Python code runs comes after
// the reading, as it would with the lock.
class DictReading {
public:
    explicit DictReading(PyObject* dict) : dict_(dict), size_(PyDict_GET_SIZE(dict)) {
#ifdef Py_GIL_DISABLED
        take_snapshot();
#endif
    }

    bool size_changed() const noexcept {
#ifdef Py_GIL_DISABLED
        if (!python_ran_) return false;
#endif
        return PyDict_GET_SIZE(dict_) != size_;
    }

    bool next(PyObject*& key, PyObject*& value) {
        if (!held_) {
            if (!PyDict_Next(dict_, &position_, &key, &value)) return false;
        } else {
            if (read_ == snapshot_.size()) return false;
            key = snapshot_[read_].key.get();
            value = snapshot_[read_].value.get();
        }
        ++read_;
        return true;
    }

    // Before Python code may run.
    void hold() {
#ifdef Py_GIL_DISABLED
        python_ran_ = true;
#endif
        take_snapshot();
    }

    // Whether the dict holds exactly what was read, in the order read.
    bool unchanged() const {
#ifdef Py_GIL_DISABLED
        if (!python_ran_) return true;
        CriticalSection still(dict_);
#else
        if (!held_) return true;  // no Python code ran
#endif
        if (size_changed()) return false;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        for (const HeldEntry& entry : snapshot_) {
            if (!PyDict_Next(dict_, &position, &key, &value)) return false;
            if (key != entry.key.get() || value != entry.value.get()) return false;
        }
        return true;
    }

private:
    struct HeldEntry {
        Ref key, value;
    };
    PyObject* dict_;  // held by the caller
    Py_ssize_t size_;
    Py_ssize_t position_ = 0;
    std::size_t read_ = 0;
    bool held_ = false;
#ifdef Py_GIL_DISABLED
    bool python_ran_ = false;
#endif
    std::vector<HeldEntry> snapshot_;

    void take_snapshot() {
        if (held_) return;
        held_ = true;
#ifdef Py_GIL_DISABLED
        CriticalSection still(dict_);
        size_ = PyDict_GET_SIZE(dict_);
#endif
        snapshot_.reserve(static_cast<std::size_t>(size_));
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict_, &position, &key, &value)) snapshot_.push_back({Ref::borrow(key), Ref::borrow(value)});
    }
};

// An entry's value when converting it cannot run Python code: false when it can.
bool value_without_python(PyObject* value, SpecOptionValue& out) {
    return spec_option::common_value_from_python(value, out);
}
bool value_without_python(PyObject* value, std::optional<SpecOptionValue>& out) {
    // None is an entry without value in set_defaults, unlike in set_options.
    return value == Py_None || spec_option::common_value_from_python(value, out.emplace());
}
Status value_from_python(PyObject* value, SpecOptionValue& out) {
    return spec_option::spec_option_value_from_python(value, out);
}
Status value_from_python(PyObject* value, std::optional<SpecOptionValue>& out) {
    return spec_option::spec_option_value_from_python(value, out ? *out : out.emplace());
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
// done: a change of size is seen at the next entry, any other change at the end.
template <class V>
Result<OptionMap<V>> read_option_dict(PyObject* dict) {
    if (!PyDict_Check(dict)) return type_mismatch(dict, "dict");
    DictReading reading(dict);
    OptionMap<V> entries;
    entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    bool distinct_names = true;  // keys of the exact str type are distinct texts
    PyObject *key, *value;
    for (;;) {
        if (reading.size_changed()) return Error::internal("dictionary changed size during iteration");
        if (!reading.next(key, value)) break;
        Result<std::string_view> name = text_view_from_python(key);
        if (!name.ok()) return name.take_error();
        distinct_names = distinct_names && PyUnicode_CheckExact(key);
        V& stored = entries.emplace_back(std::piecewise_construct, std::forward_as_tuple(name.value()), std::tuple<>())
                        .second;
        if (value_without_python(value, stored)) continue;
        reading.hold();
        if (Status converted = value_from_python(value, stored); !converted.ok()) return converted.take_error();
    }
    if (!reading.unchanged()) return Error::internal("dictionary keys changed during iteration");
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
        return reported_refusal("trelk::package::outline",
                                Error::value("PyPackageOutline unexpected keyword argument '" + keyword.value() + "'"));
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
    .basicsize = sizeof(PackageOutlineObject),
    .instantiable = true,
    .slots = package_outline_slots,
    .vectorcall = constructor_vectorcall<PackageOutlineConstructor>,
};

}  // namespace trelk::classes::outline
