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

// One entry as it was read, held until the reading is checked: while held, no
// other object can take the key's or the value's address.
struct ReadEntry {
    Ref key, value;
};

// Whether the dict holds exactly the entries read, in the order read.
bool holds_exactly(PyObject* dict, const std::vector<ReadEntry>& read) {
    if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(read.size())) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    for (const ReadEntry& entry : read) {
        if (!PyDict_Next(dict, &position, &key, &value)) return false;
        if (key != entry.key.get() || value != entry.value.get()) return false;
    }
    return true;
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
// each key; `convert` gives an entry's stored value or an error. Converting a
// value can run Python code that changes the dictionary; that ends the reading
// as an internal failure, however it was done: a change of size is seen at the
// next entry, and any other change (a rebuilt table moves the reading
// position, so an entry could be skipped) when the entries read are checked
// against the dict at the end.
template <class V, class Convert>
Result<OptionMap<V>> read_option_dict(PyObject* dict, Convert&& convert) {
    if (!PyDict_Check(dict)) return type_mismatch(dict, "dict");
    Py_ssize_t initial = PyDict_GET_SIZE(dict), position = 0;
    std::vector<ReadEntry> read;
    read.reserve(static_cast<std::size_t>(initial));
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
        const ReadEntry& entry = read.emplace_back(ReadEntry{Ref::borrow(key), Ref::borrow(value)});
        Result<std::string_view> name = text_view_from_python(entry.key.get());
        if (!name.ok()) return name.take_error();
        distinct_names = distinct_names && PyUnicode_CheckExact(entry.key.get());
        Result<V> converted = convert(entry.value.get());
        if (!converted.ok()) return converted.take_error();
        entries.emplace_back(std::string(name.value()), converted.take());
    }
    if (!holds_exactly(dict, read)) return Error::internal("dictionary keys changed during iteration");
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
        auto read = read_option_dict<SpecOptionValue>(arguments.slots[2].get(),
                                                      spec::spec_option::spec_option_value_from_python);
        if (!read.ok()) return argument_error(read.take_error(), "set_options");
        outline.set_options = read.take();
    }

    if (given(arguments.slots[3])) {
        // None is an entry without value here, unlike in set_options.
        auto read = read_option_dict<std::optional<SpecOptionValue>>(
            arguments.slots[3].get(), [](PyObject* value) -> Result<std::optional<SpecOptionValue>> {
                if (value == Py_None) return std::optional<SpecOptionValue>();
                Result<SpecOptionValue> converted = spec::spec_option::spec_option_value_from_python(value);
                if (!converted.ok()) return converted.take_error();
                return std::optional<SpecOptionValue>(converted.take());
            });
        if (!read.ok()) return argument_error(read.take_error(), "set_defaults");
        outline.set_defaults = read.take();
    }

    // Every extra keyword is refused; the conversions above are reported first.
    if (arguments.first_extra) {
        Result<std::string> keyword = str_text(arguments.first_extra.get());
        if (!keyword.ok()) return keyword.take_error();
        std::string message = "PyPackageOutline unexpected keyword argument '" + keyword.value() + "'";
        tracing::emit_event(tracing::Level::Error, "trelk::package::outline", message);
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
