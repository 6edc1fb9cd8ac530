// The constraint classes: one definition, driven by a table of what differs between them.
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/constructor.hpp"
#include "binding/text.hpp"
#include "classes/cmp_type.hpp"
#include "classes/constraint.hpp"
#include "classes/spec_option.hpp"

namespace trelk::classes::constraint {

using namespace core::constraint;

using namespace trelk::binding;

namespace {

// What a field holds, and so how it converts in each direction.
enum class FieldType : std::uint8_t { Constraint, ConstraintList, Text, Op, Value };

struct Field {
    const char* property;  // null: no field
    FieldType type;
    const char* parameter = nullptr;  // its name as a constructor argument, when not the property's
};

constexpr const char* parameter_of(const Field& field) {
    return field.parameter != nullptr ? field.parameter : field.property;
}

struct ClassTable {
    Kind kind;  // the key: row i is kind i
    const char* name;
    std::array<Field, 3> fields;
    bool constructible = true;  // with the constructor's signature as the class's doc
    // Only for a class whose instances are bound to the thread that made them: its name in a thread check.
    const char* unsendable_name = nullptr;
    std::span<const PyMethodDef> methods = {};  // beside the comparison methods
};

using enum FieldType;

// Everything that differs between the constraint classes, one row per kind.
constexpr ClassTable class_table[] = {
    {Kind::Cmp, "Cmp", {{{"lhs", Constraint}, {"rhs", Constraint}, {"op", Op}}}, true, nullptr, cmp_methods},
    {Kind::Depends, "Depends", {{{"on", Text, "name"}}}},
    {Kind::IfThen, "IfThen", {{{"cond", Constraint}, {"then", Constraint}}}, true, "trelk::package::constraint::if_then::IfThen"},
    {Kind::Maximize, "Maximize", {{{"item", Constraint}}}},
    {Kind::Minimize, "Minimize", {{{"item", Constraint}}}},
    {Kind::NumOf, "NumOf", {{{"of", ConstraintList}}}},
    {Kind::SpecOption, "SpecOption", {{{"package_name", Text}, {"option_name", Text}}}},
    {Kind::Value, "Value", {{{"value", Value}}}, false},
};

constexpr std::size_t field_count(const ClassTable& row) {
    return static_cast<std::size_t>(std::ranges::find(row.fields, nullptr, &Field::property) - row.fields.begin());
}

// The fields of a row fit the layout of its kind's node: a node holds its
// fields in field order, those of one type in slots of their own.
constexpr bool fields_fit_shape(const ClassTable& row) {
    auto types_are = [&row](std::initializer_list<FieldType> types) {
        return std::ranges::equal(types, std::span(row.fields).first(field_count(row)), {}, {}, &Field::type) &&
               std::ranges::all_of(std::span(row.fields).subspan(types.size()),
                                   [](const Field& field) { return field.property == nullptr; });
    };
    switch (shape_of(row.kind)) {
        case NodeShape::OneChild: return types_are({Constraint});
        case NodeShape::TwoChildren: return types_are({Constraint, Constraint}) || types_are({Constraint, Constraint, Op});
        case NodeShape::ChildList: return types_are({ConstraintList});
        case NodeShape::OneText: return types_are({Text});
        case NodeShape::TwoTexts: return types_are({Text, Text});
        case NodeShape::Literal: return types_are({Value});
    }
    platform::unreachable();
}
static_assert(core::one_row_per_key(class_table, &ClassTable::kind, kind_count),
              "class_table: one row per Kind, row i the row of Kind i");
static_assert(std::ranges::all_of(class_table, fields_fit_shape),
              "class_table: a row's fields are those of its kind's node shape (shape_of), in that order");
static_assert(std::tuple_size_v<decltype(ClassTable::fields)> <= max_parameters,
              "class_table: a constructor takes every field of a row (max_parameters)");

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
    static Result<Stored> from_python(PyObject* obj) { return spec_option::spec_option_value_from_python(obj); }
    static Stored read(const Node& node, std::size_t) { return value(node); }
    static Result<Ref> to_python(const Node& node, std::size_t) {
        return spec_option::spec_option_value_to_python(value(node));
    }
};

template <Kind K>
constexpr const ClassTable& table_of = class_table[static_cast<std::size_t>(K)];
template <Kind K, std::size_t F>
constexpr const Field& field_of = table_of<K>.fields[F];
template <Kind K, std::size_t F>
using CodecOf = FieldCodec<field_of<K, F>.type>;
template <Kind K>
using FieldIndices = std::make_index_sequence<field_count(table_of<K>)>;
template <Kind K>
constexpr bool bound_to_thread = table_of<K>.unsendable_name != nullptr;
template <Kind K>
using ObjectOf = std::conditional_t<bound_to_thread<K>, ThreadBoundObject, ConstraintObject>;

// A text put together at compile time from a row: `Pieces{}(put)` hands its
// pieces to `put` in order.
template <class Pieces>
constexpr auto composed = [] {
    constexpr std::size_t length = [] {
        std::size_t n = 0;
        Pieces{}([&n](std::string_view piece) { n += piece.size(); });
        return n;
    }();
    std::array<char, length + 1> text{};
    auto next = text.begin();
    Pieces{}([&next](std::string_view piece) { next = std::copy(piece.begin(), piece.end(), next); });
    return text;
}();

// The constructor's signature, which the interpreter reads from the doc.
template <Kind K>
struct Doc {
    constexpr void operator()(auto put) const {
        put(table_of<K>.name);
        put("(");
        for (std::size_t i = 0; i < field_count(table_of<K>); ++i) {
            if (i > 0) put(", ");
            put(parameter_of(table_of<K>.fields[i]));
        }
        put(")\n--\n\n");
    }
};

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
    constexpr NodeShape shape = shape_of(K);
    if constexpr (shape == NodeShape::OneChild || shape == NodeShape::TwoChildren) {
        return branch_node(K, std::forward<Values>(values)...);
    } else if constexpr (shape == NodeShape::ChildList) {
        return list_node(K, std::forward<Values>(values)...);
    } else if constexpr (shape == NodeShape::OneText || shape == NodeShape::TwoTexts) {
        return text_node(K, std::forward<Values>(values)...);
    } else {
        return value_node(std::forward<Values>(values)...);
    }
}

template <Kind K>
ConstraintClass& class_def();

template <Kind K>
Result<Ref> new_object_of(PyTypeObject* cls, NodeRef node) {
    return new_instance<ObjectOf<K>>(cls, std::move(node));
}

template <Kind K>
struct ConstraintConstructor {
    static Signature& signature() {
        constexpr std::size_t count = field_count(table_of<K>);
        constexpr std::array<const char*, max_parameters> names = [] {
            std::array<const char*, max_parameters> parameters{};
            for (std::size_t i = 0; i < count; ++i) parameters[i] = parameter_of(table_of<K>.fields[i]);
            return parameters;
        }();
        static Signature sig{table_of<K>.name, "__new__", names, count, count};
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
                failure = argument_error(converted.take_error(), parameter_of(field_of<K, I>));
                return false;
            }
            std::get<I>(values) = converted.take();
            return true;
        };
        if (!(convert(std::integral_constant<std::size_t, F>()) && ...)) return std::move(*failure);
        return new_object_of<K>(cls, make_node<K>(std::move(*std::get<F>(values))...));
    }

    static Result<Ref> build(PyTypeObject* cls, const BoundArguments& arguments) {
        return build_from(cls, arguments, FieldIndices<K>());
    }
};

template <Kind K, std::size_t F>
PyObject* get_property(PyObject* self, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Result<Reading<ConstraintObject>> reading = enter<ConstraintObject, false>(self, class_def<K>());
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
            Result<Writing<ConstraintObject>> writing = enter<ConstraintObject, true>(self, class_def<K>());
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

// The comparison methods, the class's own method, and the zeroed entry that ends them.
template <Kind K>
constexpr std::size_t method_count = 6 + table_of<K>.methods.size() + 1;

template <Kind K>
std::array<PyMethodDef, method_count<K>> make_methods() {
    // METH_COEXIST: these take the place of the interpreter's own wrappers of the slot.
    constexpr int flags = METH_O | METH_COEXIST;
    const PyMethodDef comparisons[] = {
        {"__lt__", compare_method<K, Py_LT>, flags, "__lt__($self, rhs, /)\n--\n\nReturn self<rhs."},
        {"__le__", compare_method<K, Py_LE>, flags, "__le__($self, rhs, /)\n--\n\nReturn self<=rhs."},
        {"__eq__", compare_method<K, Py_EQ>, flags, "__eq__($self, rhs, /)\n--\n\nReturn self==rhs."},
        {"__ne__", compare_method<K, Py_NE>, flags, "__ne__($self, rhs, /)\n--\n\nReturn self!=rhs."},
        {"__gt__", compare_method<K, Py_GT>, flags, "__gt__($self, rhs, /)\n--\n\nReturn self>rhs."},
        {"__ge__", compare_method<K, Py_GE>, flags, "__ge__($self, rhs, /)\n--\n\nReturn self>=rhs."},
    };
    std::array<PyMethodDef, method_count<K>> methods{};
    auto next = methods.begin();
    next = std::ranges::copy(table_of<K>.methods, next).out;
    std::copy(std::begin(comparisons), std::end(comparisons), next);
    return methods;
}

template <Kind K, std::size_t... F>
std::array<PyGetSetDef, sizeof...(F) + 1> make_getset(std::index_sequence<F...>) {
    return {{{field_of<K, F>.property, get_property<K, F>, set_property<K, F>, "", nullptr}...,
             {nullptr, nullptr, nullptr, nullptr, nullptr}}};
}

// The slots a class fills, and the zeroed entry that ends them.
template <Kind K>
constexpr std::size_t slot_count = 2 * table_of<K>.constructible + 4 + 1;

template <Kind K>
std::array<PyType_Slot, slot_count<K>> make_slots() {
    static auto getset = make_getset<K>(FieldIndices<K>());
    static auto methods = make_methods<K>();
    std::array<PyType_Slot, slot_count<K>> slots{};
    auto next = slots.begin();
    if constexpr (table_of<K>.constructible) {
        *next++ = {Py_tp_doc, const_cast<char*>(composed<Doc<K>>.data())};
        *next++ = {Py_tp_new, reinterpret_cast<void*>(constructor_new<ConstraintConstructor<K>>)};
    }
    *next++ = {Py_tp_richcompare, reinterpret_cast<void*>(rich_compare<K>)};
    *next++ = {Py_tp_getset, getset.data()};
    *next++ = {Py_tp_methods, methods.data()};
    constexpr destructor dealloc = bound_to_thread<K> ? thread_bound_object_dealloc : constraint_object_dealloc;
    *next++ = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    return slots;
}

std::uint64_t owner_of_bound(PyObject* obj) { return reinterpret_cast<ThreadBoundObject*>(obj)->owner; }

template <Kind K>
ConstraintClass& class_def() {
    static std::array<PyType_Slot, slot_count<K>> slots = make_slots<K>();
    static ConstraintClass def{
        {
            .name = table_of<K>.name,
            .basicsize = sizeof(ObjectOf<K>),
            .instantiable = table_of<K>.constructible,
            .slots = slots.data(),
            .owner_of = bound_to_thread<K> ? owner_of_bound : nullptr,
            .unsendable_name = table_of<K>.unsendable_name,
            .vectorcall = table_of<K>.constructible ? constructor_vectorcall<ConstraintConstructor<K>> : nullptr,
        },
        new_object_of<K>,
    };
    return def;
}

template <std::size_t... K>
std::array<ConstraintClass*, kind_count> all_classes(std::index_sequence<K...>) {
    return {&class_def<static_cast<Kind>(K)>()...};
}

}  // namespace

// Filled as the module is loaded, before any of it runs.
const std::array<ConstraintClass*, kind_count> detail::constraint_classes =
    all_classes(std::make_index_sequence<kind_count>());

const std::array<ClassDef*, kind_count + 1>& constraint_module_classes() {
    static const std::array<ClassDef*, kind_count + 1> classes = [] {
        std::array<ClassDef*, kind_count + 1> sorted{};
        std::copy(detail::constraint_classes.begin(), detail::constraint_classes.end(), sorted.begin());
        sorted.back() = &cmp_type_class;
        std::sort(sorted.begin(), sorted.end(),
                  [](const ClassDef* a, const ClassDef* b) { return std::string_view(a->name) < b->name; });
        return sorted;
    }();
    return classes;
}

Result<Ref> constraint_to_python(NodeRef node) {
    ConstraintClass& def = constraint_class(node->kind);
    PyTypeObject* cls = class_object(def);
    if (cls == nullptr) return Error::pending();
    return def.new_object(cls, std::move(node));
}

}  // namespace trelk::classes::constraint
