#include "classes/constraint_classes.hpp"

#include <cassert>
#include <string>
#include <utility>
#include <optional>
#include <tuple>
#include <vector>

#include "binding/args.hpp"
#include "binding/constructor.hpp"
#include "binding/text.hpp"
#include "classes/cmp_type.hpp"
#include "classes/compare.hpp"
#include "classes/constraint.hpp"
#include "classes/if_then.hpp"
#include "classes/spec_option.hpp"

namespace trelk::package::constraint {

using namespace trelk::binding;

namespace {

// What a field holds, and so how it converts in each direction.
enum class FieldType : std::uint8_t { Constraint, ConstraintList, Text, Op, Value };

struct Field {
    const char* property;
    const char* parameter;  // its name as a constructor argument
    FieldType type;
};

struct ClassTable {
    const char* name;
    const char* type_name;
    const char* doc;  // null: no documentation text
    std::size_t field_count;
    std::array<Field, 3> fields;
    bool constructible;
};

using enum FieldType;

// Everything that differs between the eight classes. Fields of one type are
// numbered in order within a node: Cmp's lhs and rhs are its children 0 and 1.
constexpr ClassTable class_table[kind_count] = {
    {"Cmp", "builtins.Cmp", "Cmp(lhs, rhs, op)\n--\n\n", 3,
     {{{"lhs", "lhs", Constraint}, {"rhs", "rhs", Constraint}, {"op", "op", Op}}}, true},
    {"Depends", "builtins.Depends", "Depends(name)\n--\n\n", 1, {{{"on", "name", Text}}}, true},
    {"IfThen", "builtins.IfThen", "IfThen(cond, then)\n--\n\n", 2,
     {{{"cond", "cond", Constraint}, {"then", "then", Constraint}}}, true},
    {"Maximize", "builtins.Maximize", "Maximize(item)\n--\n\n", 1, {{{"item", "item", Constraint}}}, true},
    {"Minimize", "builtins.Minimize", "Minimize(item)\n--\n\n", 1, {{{"item", "item", Constraint}}}, true},
    {"NumOf", "builtins.NumOf", "NumOf(of)\n--\n\n", 1, {{{"of", "of", ConstraintList}}}, true},
    {"SpecOption", "builtins.SpecOption", "SpecOption(package_name, option_name)\n--\n\n", 2,
     {{{"package_name", "package_name", Text}, {"option_name", "option_name", Text}}}, true},
    {"Value", "builtins.Value", nullptr, 1, {{{"value", "value", Value}}}, false},
};
static_assert([] {
    for (const ClassTable& table : class_table) {
        if (table.field_count > table.fields.size()) return false;
    }
    return true;
}());

// How a field of each type converts in both directions, and where it lives
// in a node (the n-th field of its type).
template <FieldType T>
struct FieldCodec;

template <>
struct FieldCodec<Constraint> {
    using Stored = NodeRef;
    static Result<Stored> from_python(PyObject* obj) { return constraint_from_python(obj); }
    static Stored read(const Node& node, std::size_t n) { return child(node, n); }
    static Result<Ref> to_python(const Node& node, std::size_t n) { return constraint_to_python(child(node, n)); }
};

template <>
struct FieldCodec<ConstraintList> {
    using Stored = std::vector<NodeRef>;
    static Result<Stored> from_python(PyObject* obj) { return constraints_from_python(obj); }
    static Stored read(const Node& node, std::size_t) { return items(node); }
    // A new list on every read, filled position by position.
    static Result<Ref> to_python(const Node& node, std::size_t) {
        const std::vector<NodeRef>& elements = items(node);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
        if (!list) return Error::pending();
        for (std::size_t i = 0; i < elements.size(); ++i) {
            Result<Ref> element = constraint_to_python(elements[i]);
            if (!element.ok()) return element.take_error();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), element.value().release());
        }
        return list;
    }
};

template <>
struct FieldCodec<Text> {
    // A view: of the argument's buffer while converting, of the old node while replacing.
    using Stored = std::string_view;
    static Result<Stored> from_python(PyObject* obj) { return text_view_from_python(obj); }
    static Stored read(const Node& node, std::size_t n) { return text(node, n); }
    static Result<Ref> to_python(const Node& node, std::size_t n) { return text_to_python(text(node, n)); }
};

template <>
struct FieldCodec<Op> {
    using Stored = CmpType;
    static Result<Stored> from_python(PyObject* obj) { return cmp_type_from_python(obj); }
    static Stored read(const Node& node, std::size_t) { return node.op; }
    static Result<Ref> to_python(const Node& node, std::size_t) { return cmp_type_to_python(node.op); }
};

template <>
struct FieldCodec<Value> {
    using Stored = SpecOptionValue;
    static Result<Stored> from_python(PyObject* obj) {
        return spec::spec_option::spec_option_value_from_python(obj);
    }
    static Stored read(const Node& node, std::size_t) { return value(node); }
    static Result<Ref> to_python(const Node& node, std::size_t) {
        return spec::spec_option::spec_option_value_to_python(value(node));
    }
};

template <Kind K>
constexpr const ClassTable& table_of = class_table[static_cast<std::size_t>(K)];
template <Kind K, std::size_t F>
constexpr const Field& field_of = table_of<K>.fields[F];
template <Kind K, std::size_t F>
using CodecOf = FieldCodec<field_of<K, F>.type>;
template <Kind K>
using FieldIndices = std::make_index_sequence<table_of<K>.field_count>;

// Where field F of class K lives among the fields of its type.
template <Kind K, std::size_t F>
constexpr std::size_t storage_of = [] {
    std::size_t n = 0;
    for (std::size_t i = 0; i < F; ++i) n += table_of<K>.fields[i].type == field_of<K, F>.type;
    return n;
}();

// A node of kind K from its fields, in field order.
template <Kind K, class... Values>
NodeRef make_node(Values&&... values) {
    if constexpr (K == Kind::Cmp) return cmp_node(std::forward<Values>(values)...);
    else if constexpr (K == Kind::Depends) return depends_node(std::forward<Values>(values)...);
    else if constexpr (K == Kind::IfThen) return if_then_node(std::forward<Values>(values)...);
    else if constexpr (K == Kind::Maximize || K == Kind::Minimize) return objective_node(K, std::forward<Values>(values)...);
    else if constexpr (K == Kind::NumOf) return num_of_node(std::forward<Values>(values)...);
    else if constexpr (K == Kind::SpecOption) return spec_option_node(std::forward<Values>(values)...);
    else return value_node(std::forward<Values>(values)...);
}

template <Kind K>
ClassDef& class_def();

template <Kind K>
struct ConstraintConstructor {
    static Signature& signature() {
        static_assert(table_of<K>.field_count <= max_parameters);
        static Signature sig = [] {
            Signature made{table_of<K>.name, "__new__", {}, table_of<K>.field_count, table_of<K>.field_count};
            for (std::size_t i = 0; i < made.count; ++i) made.names[i] = table_of<K>.fields[i].parameter;
            return made;
        }();
        return sig;
    }

    // Arguments convert in parameter order; the first failure ends the call
    // and later arguments are not looked at.
    template <std::size_t... F>
    static Result<Ref> build_from(PyTypeObject* cls, const BoundArguments& arguments, std::index_sequence<F...>) {
        std::tuple<std::optional<typename CodecOf<K, F>::Stored>...> values;
        std::optional<Error> failure;
        auto convert = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
            auto converted = CodecOf<K, I>::from_python(arguments.slots[I].get());
            if (!converted.ok()) {
                failure = argument_error(converted.take_error(), field_of<K, I>.parameter);
                return false;
            }
            std::get<I>(values) = converted.take();
            return true;
        };
        if (!(convert(std::integral_constant<std::size_t, F>()) && ...)) return std::move(*failure);
        return new_constraint_object(cls, make_node<K>(std::move(*std::get<F>(values))...));
    }

    static Result<Ref> build(PyTypeObject* cls, const BoundArguments& arguments) {
        return build_from(cls, arguments, FieldIndices<K>());
    }
};

template <Kind K, std::size_t F>
PyObject* get_property(PyObject* self, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Result<Reading<ConstraintObject>> reading = enter_for_reading<ConstraintObject>(self, class_def<K>());
            if (!reading.ok()) return hand_over(reading.take_error());
            return hand_over(CodecOf<K, F>::to_python(*reading.value()->node, storage_of<K, F>));
        });
}

// The node with field F replaced and every other field kept.
template <Kind K, std::size_t F, std::size_t... I>
NodeRef replace_field(const Node& node, typename CodecOf<K, F>::Stored&& replacement, std::index_sequence<I...>) {
    auto pick = [&]<std::size_t J>(std::integral_constant<std::size_t, J>) -> typename CodecOf<K, J>::Stored {
        if constexpr (J == F) {
            return std::move(replacement);
        } else {
            return CodecOf<K, J>::read(node, storage_of<K, J>);
        }
    };
    return make_node<K>(pick(std::integral_constant<std::size_t, I>())...);
}

// The new value is converted before the receiver is entered, so an object can
// be assigned into its own property: it goes in as it was before.
template <Kind K, std::size_t F>
int set_property(PyObject* self, PyObject* new_value, void*) noexcept {
    if (new_value == nullptr) return refuse_delete();
    return guarded(
        [&]() -> int {
            Ref held = Ref::borrow(new_value);  // the conversion may drop every other reference
            auto converted = CodecOf<K, F>::from_python(held.get());
            if (!converted.ok()) {
                raise_error(argument_error(converted.take_error(), field_of<K, F>.property));
                return -1;
            }
            Result<Writing<ConstraintObject>> writing = enter_for_writing<ConstraintObject>(self, class_def<K>());
            if (!writing.ok()) {
                raise_error(writing.take_error());
                return -1;
            }
            NodeRef& node = writing.value()->node;
            // Built in full before the swap: a failed allocation leaves the object as it was.
            NodeRef replacement = replace_field<K, F>(*node, converted.take(), FieldIndices<K>());
            node = std::move(replacement);
            return 0;
        });
}

template <Kind K>
PyObject* rich_compare(PyObject* self, PyObject* other, int op) noexcept {
    return constraint_rich_compare(class_def<K>(), self, other, op);
}

// The comparison methods as Python shows them: one argument, named rhs. The
// operators themselves go straight to the comparison slot.
template <Kind K, int Op>
PyObject* compare_method(PyObject* self, PyObject* rhs) noexcept {
    return rich_compare<K>(self, rhs, Op);
}

template <Kind K>
std::array<PyMethodDef, 8> make_methods() {
    std::array<PyMethodDef, 8> methods{};  // ends with a zeroed entry
    std::size_t n = 0;
    if constexpr (K == Kind::Cmp) {
        methods[n++] = {"if_then", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cmp_if_then)),
                        METH_FASTCALL | METH_KEYWORDS,
                        "if_then($self, then)\n--\n\nWrap this condition in an IfThen constraint.\n\n"
                        "cond.if_then(then) => If ( cond ) Then ( then )"};
    }
    // METH_COEXIST: these take the place of the interpreter's own wrappers of the slot.
    constexpr int flags = METH_O | METH_COEXIST;
    methods[n++] = {"__lt__", compare_method<K, Py_LT>, flags, "__lt__($self, rhs, /)\n--\n\nReturn self<rhs."};
    methods[n++] = {"__le__", compare_method<K, Py_LE>, flags, "__le__($self, rhs, /)\n--\n\nReturn self<=rhs."};
    methods[n++] = {"__eq__", compare_method<K, Py_EQ>, flags, "__eq__($self, rhs, /)\n--\n\nReturn self==rhs."};
    methods[n++] = {"__ne__", compare_method<K, Py_NE>, flags, "__ne__($self, rhs, /)\n--\n\nReturn self!=rhs."};
    methods[n++] = {"__gt__", compare_method<K, Py_GT>, flags, "__gt__($self, rhs, /)\n--\n\nReturn self>rhs."};
    methods[n++] = {"__ge__", compare_method<K, Py_GE>, flags, "__ge__($self, rhs, /)\n--\n\nReturn self>=rhs."};
    assert(n < methods.size());
    return methods;
}

template <Kind K, std::size_t... F>
std::array<PyGetSetDef, sizeof...(F) + 1> make_getset(std::index_sequence<F...>) {
    return {{{field_of<K, F>.property, get_property<K, F>, set_property<K, F>, "", nullptr}...,
             {nullptr, nullptr, nullptr, nullptr, nullptr}}};
}

template <Kind K>
std::array<PyType_Slot, 8> make_slots() {
    static auto getset = make_getset<K>(FieldIndices<K>());
    static auto methods = make_methods<K>();
    std::array<PyType_Slot, 8> slots{};
    std::size_t n = 0;
    if (table_of<K>.doc != nullptr) slots[n++] = {Py_tp_doc, const_cast<char*>(table_of<K>.doc)};
    if (table_of<K>.constructible) {
        slots[n++] = {Py_tp_new, reinterpret_cast<void*>(constructor_new<ConstraintConstructor<K>>)};
    }
    slots[n++] = {Py_tp_richcompare, reinterpret_cast<void*>(rich_compare<K>)};
    slots[n++] = {Py_tp_getset, getset.data()};
    slots[n++] = {Py_tp_methods, methods.data()};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(constraint_object_dealloc)};
    assert(n < slots.size());
    return slots;  // ends with {0, nullptr}
}

std::uint64_t owner_of_if_then(PyObject* obj) { return reinterpret_cast<IfThenObject*>(obj)->owner; }

template <Kind K>
ClassDef& class_def() {
    static std::array<PyType_Slot, 8> slots = make_slots<K>();
    static ClassDef def{
        .name = table_of<K>.name,
        .type_name = table_of<K>.type_name,
        .basicsize = K == Kind::IfThen ? sizeof(IfThenObject) : sizeof(ConstraintObject),
        .instantiable = table_of<K>.constructible,
        .slots = slots.data(),
        .owner_of = K == Kind::IfThen ? owner_of_if_then : nullptr,
        .unsendable_name = K == Kind::IfThen ? "trelk::package::constraint::if_then::IfThen" : nullptr,
        .vectorcall = table_of<K>.constructible ? constructor_vectorcall<ConstraintConstructor<K>> : nullptr,
    };
    return def;
}

template <std::size_t... K>
std::array<ClassDef*, kind_count> all_class_defs(std::index_sequence<K...>) {
    return {&class_def<static_cast<Kind>(K)>()...};
}

}  // namespace

ClassDef& constraint_class(Kind kind) {
    static const std::array<ClassDef*, kind_count> defs = all_class_defs(std::make_index_sequence<kind_count>());
    return *defs[static_cast<std::size_t>(kind)];
}

const std::array<ClassDef*, kind_count + 1>& constraint_module_classes() {
    static const std::array<ClassDef*, kind_count + 1> classes = {
        &constraint_class(Kind::Cmp),      &cmp_type_class,
        &constraint_class(Kind::Depends),  &constraint_class(Kind::IfThen),
        &constraint_class(Kind::Maximize), &constraint_class(Kind::Minimize),
        &constraint_class(Kind::NumOf),    &constraint_class(Kind::SpecOption),
        &constraint_class(Kind::Value),
    };
    return classes;
}

}  // namespace trelk::package::constraint
