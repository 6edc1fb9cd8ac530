// Class objects made from their definitions, the instance pool, and the door's refusals.
#include "binding/class.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "binding/python_compat.hpp"
#include "core/memory_pool.hpp"

#include "core/thread_id.hpp"

namespace trelk::binding {

namespace {

// Replaces the pending exception by a RuntimeError with `message` whose cause
// is the exception replaced; an exhaustion propagates as it is.
void raise_with_cause(const std::string& message) {
    if (exhaustion_pending()) return;
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
    if (!error) return;
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_RuntimeError, error.get());
}

void* object_allocate(std::size_t size) noexcept { return PyObject_Malloc(size); }
void object_release(void* block) noexcept { PyObject_Free(block); }

// Instances take no part in garbage collection, so their memory can come from
// a pool of their own in front of the interpreter's object allocator. Without
// the interpreter lock it keeps no block: that allocator is one per thread
// already, and a list per thread would outlive the thread state that its
// blocks must be given back with.
#ifdef Py_GIL_DISABLED
constexpr std::size_t instances_kept = 0;
#else
constexpr std::size_t instances_kept = 4096;
#endif
core::memory_pool::BlockPool<object_allocate, object_release, 128, instances_kept> instance_pool;

// The last class created; each links to the one before.
ClassDef* last_created = nullptr;

PyObject* pooled_alloc(PyTypeObject* cls, Py_ssize_t) noexcept {
    auto size = static_cast<std::size_t>(cls->tp_basicsize);
    void* block = instance_pool.allocate(size);
    if (block == nullptr) return PyErr_NoMemory();
    // Only the header is set here: every class builds all of its own fields.
    return PyObject_Init(static_cast<PyObject*>(block), cls);
}

void pooled_free(void* block) noexcept {
    instance_pool.release(block, static_cast<std::size_t>(Py_TYPE(static_cast<PyObject*>(block))->tp_basicsize));
}

#ifdef TRELK_IMMORTAL_CLASSES
// Without the lock, every thread that looks up a class, or a method or member
// in its dict, takes a reference to it: a write to its first cache line,
// which the threads would take from each other at every call, and where the
// class keeps what allocation reads (its size). As the interpreter does with
// the classes and functions of Python code once a second thread starts, what
// is made here is made immortal: it is kept while the interpreter lives
// anyway. Only an object of this thread's can be, and one
// that another thread may already use is left as it is.
void make_immortal(PyObject* obj) noexcept {
    if (_Py_IsImmortal(obj) || !_Py_IsOwnedByCurrentThread(obj)) return;
    // A count past the thread's own count makes the object immortal.
    Py_SET_REFCNT(obj, static_cast<Py_ssize_t>(std::numeric_limits<std::uint32_t>::max()) + 1);
}

// The class and what its dict holds, before any other thread can see them.
void make_class_immortal(PyTypeObject* cls) noexcept {
    make_immortal(reinterpret_cast<PyObject*>(cls));
    PyObject* value = nullptr;
    for (Py_ssize_t position = 0; PyDict_Next(cls->tp_dict, &position, nullptr, &value);) make_immortal(value);
}
#endif

Ref create_class(ClassDef& def) {
    // The class's own slots, then the allocation pair that every class shares.
    std::vector<PyType_Slot> slots;
    for (PyType_Slot* slot = def.slots; slot->slot != 0; ++slot) slots.push_back(*slot);
    slots.push_back({Py_tp_alloc, reinterpret_cast<void*>(pooled_alloc)});
    slots.push_back({Py_tp_free, reinterpret_cast<void*>(pooled_free)});
    slots.push_back({0, nullptr});
    PyType_Spec spec{
        def.type_name.c_str(),
        def.basicsize,
        0,
        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT |
                                  (def.instantiable ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION)),
        slots.data(),
    };
    Ref cls = Ref::steal(PyType_FromSpec(&spec));
    if (!cls) {
        raise_with_cause(std::string("An error occurred while initializing class ") + def.name);
        return Ref();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    type->tp_vectorcall = def.vectorcall;
    for (std::size_t i = 0; i < def.attribute_count; ++i) {
        Result<Ref> value = def.make_attribute(type, i);
        if (!value.ok()) {
            raise_with_cause(std::string("An error occurred while initializing `") + def.name + "." +
                             def.attribute_names[i] + "`");
            return Ref();
        }
        if (PyObject_SetAttrString(cls.get(), def.attribute_names[i], value.value().get()) < 0) {
            raise_with_cause(std::string("An error occurred while initializing `") + def.name +
                             ".__dict__`");
            return Ref();
        }
    }
    // Immutable from here on, as built-in types are: no attribute of the class
    // can be set or deleted (its constructor or its members replaced), and no
    // instance can change its class, so every instance comes from the module
    // and holds what its class expects.
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
    return cls;
}

// The interpreter's attribute cache holds borrowed pointers to what it found in
// a class's dict, and Python code can still reach that dict (gc.get_referents)
// and change it behind the class's back. A copy kept with the class keeps every
// attribute that the class was made with alive, whatever becomes of the dict.
Ref copy_attributes(const ClassDef& def, PyTypeObject* cls) {
    Ref copy = Ref::steal(PyDict_Copy(cls->tp_dict));
    if (!copy) raise_with_cause(std::string("An error occurred while initializing `") + def.name + ".__dict__`");
    return copy;
}

}  // namespace

PyTypeObject* create_class_object(ClassDef& def) {
    Ref cls = create_class(def);
    if (!cls) return nullptr;
    Ref attributes = copy_attributes(def, reinterpret_cast<PyTypeObject*>(cls.get()));
    if (!attributes) return nullptr;
    // Creation can run Python code and so let another thread in; the first
    // class published wins and the other is dropped, once the lock is let go
    // of. All of it is in place before the class is seen.
    PublicationLock publishing;
    if (PyTypeObject* first = def.created.load(std::memory_order_relaxed)) return first;
    auto* made = reinterpret_cast<PyTypeObject*>(cls.release());  // kept while the interpreter lives
#ifdef TRELK_IMMORTAL_CLASSES
    make_class_immortal(made);
#endif
    def.attributes_kept = attributes.release();
    def.created_before = std::exchange(last_created, &def);
    def.created.store(made, std::memory_order_release);
    return made;
}

namespace {

// Empties the list of classes created, showing `let_go` each class and its
// attribute copy as they leave it.
template <class LetGo>
void empty_class_list(LetGo let_go) noexcept {
    for (ClassDef* def = std::exchange(last_created, nullptr); def != nullptr;
         def = std::exchange(def->created_before, nullptr)) {
        let_go(Ref::steal(reinterpret_cast<PyObject*>(def->created.exchange(nullptr, std::memory_order_relaxed))),
               Ref::steal(std::exchange(def->attributes_kept, nullptr)));
    }
}

}  // namespace

void release_class_objects() noexcept {
    instance_pool.stop_keeping();
    empty_class_list([](Ref, Ref) {});
}

// Blocks kept after the release came from the ended interpreter's object
// allocator, and are not given back: there is no thread state left to free
// them with, and the next interpreter's allocator need not know them (3.12's
// starts afresh, and takes such a block for one of the C library's).
void forget_class_objects() noexcept {
    empty_class_list([](Ref cls, Ref attributes) {  // abandoned with the interpreter
        static_cast<void>(cls.release());
        static_cast<void>(attributes.release());
    });
    instance_pool.forget();
}

Status check_owner_thread(PyObject* obj, const ClassDef& def, std::source_location where) {
    std::uint64_t owner = def.owner_of(obj);
    std::uint64_t current = core::current_thread_id();
    if (owner == current) return success();
    return Error::internal(std::string(def.unsendable_name) +
                               " is unsendable, but sent to another thread (owner thread " +
                               std::to_string(owner) + ", calling thread " + std::to_string(current) + ")",
                           where);
}

Error entry_refusal(PyObject* obj, ClassDef& def, bool writes) {
#ifdef Py_GIL_DISABLED
    if (PyErr_Occurred()) return Error::pending();
#endif
    PyTypeObject* cls = class_object(def);
    if (cls == nullptr) return Error::pending();
    if (!is_instance(obj, cls)) return type_mismatch(obj, def.name);
    if (def.owner_of != nullptr) {
        if (Status thread = check_owner_thread(obj, def); !thread.ok()) return thread.take_error();
    }
    return Error::runtime(writes ? "Already borrowed" : "Already mutably borrowed");
}

int refuse_delete() {
    raise_exception(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

}  // namespace trelk::binding
