#include "package/constraint/classes.hpp"

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "binding/args.hpp"
#include "binding/constructor.hpp"
#include "binding/text.hpp"
#include "package/constraint/cmp_type.hpp"
#include "package/constraint/compare.hpp"
#include "package/constraint/convert.hpp"
#include "package/constraint/if_then.hpp"
#include "spec/spec_option_python.hpp"

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

using FieldValue = std::variant<NodeRef, std::vector<NodeRef>, std::string, CmpType, SpecOptionValue>;
using Fields = std::array<FieldValue, 3>;

Result<FieldValue> field_from_python(FieldType type, PyObject* obj) {
    auto lift = [](auto result) -> Result<FieldValue> {
        if (!result.ok()) return result.take_error();
        return FieldValue(result.take());
    };
    switch (type) {
        case Constraint: return lift(constraint_from_python(obj));
        case ConstraintList: return lift(constraints_from_python(obj));
        case Text: return lift(text_from_python(obj));
        case Op: return lift(cmp_type_from_python(obj));
        case Value: return lift(spec::spec_option::spec_option_value_from_python(obj));
    }
    return Error::internal("unknown field type");
}

// The n-th field of its type within the node, as a new Python object.
Result<Ref> field_to_python(const Node& node, FieldType type, std::size_t index) {
    switch (type) {
        case Constraint: return constraint_to_python(child(node, index));
        case ConstraintList: {
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
        case Text: return text_to_python(text(node, index));
        case Op: return cmp_type_to_python(node.op);
        case Value: return spec::spec_option::spec_option_value_to_python(value(node));
    }
    return Error::internal("unknown field type");
}

// Position of field `field` among the fields of the same type in its class.
std::size_t storage_index(const ClassTable& table, std::size_t field) {
    std::size_t index = 0;
    for (std::size_t i = 0; i < field; ++i) index += table.fields[i].type == table.fields[field].type;
    return index;
}

FieldValue field_of(const Node& node, FieldType type, std::size_t index) {
    switch (type) {
        case Constraint: return child(node, index);
        case ConstraintList: return items(node);
        case Text: return text(node, index);
        case Op: return node.op;
        case Value: return value(node);
    }
    return node.op;
}

NodeRef node_from_fields(Kind kind, Fields& f) {
    auto take = [&f]<class T>(std::size_t i, std::type_identity<T>) -> T { return std::move(std::get<T>(f[i])); };
    constexpr std::type_identity<NodeRef> node;
    constexpr std::type_identity<std::string> string;
    switch (kind) {
        case Kind::Cmp: return cmp_node(take(0, node), take(1, node), take(2, std::type_identity<CmpType>()));
        case Kind::Depends: return depends_node(take(0, string));
        case Kind::IfThen: return if_then_node(take(0, node), take(1, node));
        case Kind::Maximize:
        case Kind::Minimize: return objective_node(kind, take(0, node));
        case Kind::NumOf: return num_of_node(take(0, std::type_identity<std::vector<NodeRef>>()));
        case Kind::SpecOption: return spec_option_node(take(0, string), take(1, string));
        case Kind::Value: return value_node(take(0, std::type_identity<SpecOptionValue>()));
    }
    return NodeRef();
}

// One property of one class: the closure of its getter and setter.
struct PropertyBinding {
    Kind kind;
    std::size_t field;
};

struct ClassRuntime {
    ClassDef def;
    Signature signature;
    PropertyBinding properties[3];
    PyGetSetDef getset[4];
    PyType_Slot slots[10];
};

ClassRuntime& runtime(Kind kind);

Result<Ref> new_constraint_object(PyTypeObject* cls, Kind kind, NodeRef node) {
    Ref obj = kind == Kind::IfThen ? new_instance<IfThenObject>(cls, std::move(node))
                                   : new_instance<ConstraintObject>(cls, std::move(node));
    if (!obj) return Error::pending();
    return obj;
}

template <Kind K>
struct ConstraintConstructor {
    static Signature& signature() { return runtime(K).signature; }
    // Arguments convert in parameter order; the first failure ends the call.
    static Result<Ref> build(PyTypeObject* cls, const BoundArguments& arguments) {
        const ClassTable& table = class_table[static_cast<std::size_t>(K)];
        Fields fields;
        for (std::size_t i = 0; i < table.field_count; ++i) {
            const Field& field = table.fields[i];
            Result<FieldValue> converted = field_from_python(field.type, arguments.slots[i]);
            if (!converted.ok()) return argument_error(converted.take_error(), field.parameter);
            fields[i] = converted.take();
        }
        return new_constraint_object(cls, K, node_from_fields(K, fields));
    }
};

PyObject* get_property(PyObject* self, void* closure) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto* property = static_cast<const PropertyBinding*>(closure);
            const ClassTable& table = class_table[static_cast<std::size_t>(property->kind)];
            Result<Reading<ConstraintObject>> reading =
                borrow_for_reading<ConstraintObject>(self, runtime(property->kind).def);
            if (!reading.ok()) return hand_over(reading.take_error());
            const Field& field = table.fields[property->field];
            return hand_over(field_to_python(*reading.value().obj->node, field.type,
                                             storage_index(table, property->field)));
        },
        static_cast<PyObject*>(nullptr));
}

// The new value is converted before the receiver is borrowed, so an object can
// be assigned into its own property: it goes in as it was before.
int set_property(PyObject* self, PyObject* new_value, void* closure) noexcept {
    if (new_value == nullptr) return refuse_delete();
    return guarded(
        [&]() -> int {
            auto* property = static_cast<const PropertyBinding*>(closure);
            const ClassTable& table = class_table[static_cast<std::size_t>(property->kind)];
            const Field& field = table.fields[property->field];
            Result<FieldValue> converted = field_from_python(field.type, new_value);
            if (!converted.ok()) {
                raise_error(argument_error(converted.take_error(), field.property));
                return -1;
            }
            Result<Writing<ConstraintObject>> writing =
                borrow_for_writing<ConstraintObject>(self, runtime(property->kind).def);
            if (!writing.ok()) {
                raise_error(writing.take_error());
                return -1;
            }
            NodeRef& node = writing.value().obj->node;
            Fields fields;
            for (std::size_t i = 0; i < table.field_count; ++i) {
                fields[i] = i == property->field
                                ? std::move(converted.value())
                                : field_of(*node, table.fields[i].type, storage_index(table, i));
            }
            // Built in full before the swap: a failed allocation leaves the object as it was.
            NodeRef replacement = node_from_fields(property->kind, fields);
            node = std::move(replacement);
            return 0;
        },
        -1);
}

template <Kind K>
PyObject* rich_compare(PyObject* self, PyObject* other, int op) noexcept {
    return constraint_rich_compare(runtime(K).def, K, self, other, op);
}

PyMethodDef cmp_methods[] = {
    {"if_then", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cmp_if_then)),
     METH_FASTCALL | METH_KEYWORDS,
     "if_then($self, then)\n--\n\nWrap this condition in an IfThen constraint.\n\n"
     "cond.if_then(then) => If ( cond ) Then ( then )"},
    {nullptr, nullptr, 0, nullptr},
};

template <Kind K>
void set_up(ClassRuntime& rt) {
    const ClassTable& table = class_table[static_cast<std::size_t>(K)];
    std::size_t slot = 0;
    auto add_slot = [&](int id, void* pfunc) { rt.slots[slot++] = {id, pfunc}; };
    rt.signature = {table.name, "__new__", {}, table.field_count, table.field_count};
    for (std::size_t i = 0; i < table.field_count; ++i) {
        rt.signature.names[i] = table.fields[i].parameter;
        rt.properties[i] = {K, i};
        rt.getset[i] = {table.fields[i].property, get_property, set_property, "", &rt.properties[i]};
    }
    rt.getset[table.field_count] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    if (table.doc != nullptr) add_slot(Py_tp_doc, const_cast<char*>(table.doc));
    if (table.constructible) {
        add_slot(Py_tp_new, reinterpret_cast<void*>(constructor_new<ConstraintConstructor<K>>));
        rt.def.vectorcall = constructor_vectorcall<ConstraintConstructor<K>>;
    }
    add_slot(Py_tp_richcompare, reinterpret_cast<void*>(rich_compare<K>));
    add_slot(Py_tp_getset, rt.getset);
    if constexpr (K == Kind::Cmp) add_slot(Py_tp_methods, cmp_methods);
    if constexpr (K == Kind::IfThen) {
        add_slot(Py_tp_dealloc, reinterpret_cast<void*>(if_then_dealloc));
        rt.def.owner_of = [](PyObject* obj) { return reinterpret_cast<IfThenObject*>(obj)->owner; };
        rt.def.unsendable_name = "trelk::package::constraint::if_then::IfThen";
    } else {
        add_slot(Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<ConstraintObject>));
    }
    add_slot(0, nullptr);
    rt.def.name = table.name;
    rt.def.type_name = table.type_name;
    rt.def.basicsize = K == Kind::IfThen ? sizeof(IfThenObject) : sizeof(ConstraintObject);
    rt.def.instantiable = table.constructible;
    rt.def.slots = rt.slots;
}

template <std::size_t... K>
void set_up_all(ClassRuntime* runtimes, std::index_sequence<K...>) {
    (set_up<static_cast<Kind>(K)>(runtimes[K]), ...);
}

ClassRuntime& runtime(Kind kind) {
    static ClassRuntime* const runtimes = [] {
        static ClassRuntime all[kind_count];
        set_up_all(all, std::make_index_sequence<kind_count>());
        return all;
    }();
    return runtimes[static_cast<std::size_t>(kind)];
}

}  // namespace

ClassDef& constraint_class(Kind kind) { return runtime(kind).def; }

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

Result<Ref> constraint_to_python(NodeRef node) {
    Kind kind = node->kind;
    PyTypeObject* cls = class_object(constraint_class(kind));
    if (cls == nullptr) return Error::pending();
    return new_constraint_object(cls, kind, std::move(node));
}

}  // namespace trelk::package::constraint
