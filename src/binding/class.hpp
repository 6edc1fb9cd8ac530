// How every class of the module is made and how its instances are reached.
#pragma once

#include <Python.h>

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "binding/access.hpp"
#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "core/thread_id.hpp"

namespace trelk::binding {

// What differs from class to class; the rest of a class object is the same
// for all: base `object`, no subclassing, no instance dictionary, no weak
// references, no part in garbage collection.
struct ClassDef {
    const char* name;
    // Kept with the class for as long as the program runs: 3.11's class object points into it.
    std::string type_name = std::string("builtins.") + name;
    int basicsize;
    bool instantiable;       // false: Py_TPFLAGS_DISALLOW_INSTANTIATION
    PyType_Slot* slots;
    // For instances bound to the thread that made them: the owner's id. Null
    // for classes usable from any thread.
    std::uint64_t (*owner_of)(PyObject* obj) = nullptr;
    const char* unsendable_name = nullptr;  // how a thread-check message names the class
    // Class attributes made right after the class object.
    const char* const* attribute_names = nullptr;
    std::size_t attribute_count = 0;
    Result<Ref> (*make_attribute)(PyTypeObject* cls, std::size_t index) = nullptr;

    // The class's own entry for calls made with the fast convention.
    vectorcallfunc vectorcall = nullptr;

    std::atomic<PyTypeObject*> created{nullptr};
    // A copy of the class's dict as it was made, kept with the class.
    PyObject* attributes_kept = nullptr;
    // The class created before this one, in the list that
    // `forget_class_objects` goes through.
    ClassDef* created_before = nullptr;
};

PyTypeObject* create_class_object(ClassDef& def);

// The class object, created on first need and kept while the interpreter
// lives; null with a RuntimeError set when it cannot be created (the next call
// tries again).
inline PyTypeObject* class_object(ClassDef& def) {
    if (PyTypeObject* cls = def.created.load(std::memory_order_acquire)) return cls;
    return create_class_object(def);
}

// Whether `obj` is an instance of the class (or of a subtype).
inline bool is_instance(PyObject* obj, PyTypeObject* cls) {
    return Py_TYPE(obj) == cls || PyType_IsSubtype(Py_TYPE(obj), cls);
}

// The quiet door, for a fast path with a full door behind it: the instance
// entered when `obj` is exactly of the class (none admits subclasses), on the
// thread it is bound to if any, and not held against the access asked; empty
// otherwise. Without the interpreter lock, another thread's access that runs
// no Python code is waited for (`wait_for_access`). Runs no Python code and
// makes no error, unless asked to run the signal handlers while it waits: it
// is then empty with their exception pending, for `entry_refusal` to raise.
template <class Obj, bool Writes>
Entered<Obj, Writes> enter_quietly(PyObject* obj, const ClassDef& def,
                                   WhileWaiting waiting = WhileWaiting::quiet) noexcept {
    PyTypeObject* cls = def.created.load(std::memory_order_acquire);
    if (cls == nullptr || Py_TYPE(obj) != cls) return {};
    if (def.owner_of != nullptr && def.owner_of(obj) != core::current_thread_id()) return {};
    return Entered<Obj, Writes>::try_enter(obj, waiting);
}

// An instance of a class that nothing ever writes (no setter), read in place
// when `obj` is exactly of the class; null otherwise. No access is taken, and
// no reference: the caller holds one and runs no Python code meanwhile. So
// threads that read one object share no write to it.
template <class Obj>
const Obj* unwritten_instance(PyObject* obj, const ClassDef& def) noexcept {
    assert(def.owner_of == nullptr);
    PyTypeObject* cls = def.created.load(std::memory_order_acquire);
    if (cls == nullptr || Py_TYPE(obj) != cls) return nullptr;
    return reinterpret_cast<const Obj*>(obj);
}

// The same for a family of classes that share the instance layout Obj and the
// deallocation `Dealloc`, which no other class has, none of them bound to a
// thread: one look at the type, for conversions taken by the million.
template <class Obj, bool Writes, destructor Dealloc>
Entered<Obj, Writes> enter_family_quietly(PyObject* obj, WhileWaiting waiting = WhileWaiting::quiet) noexcept {
    if (Py_TYPE(obj)->tp_dealloc != Dealloc) return {};
    return Entered<Obj, Writes>::try_enter(obj, waiting);
}

// The thread check of thread-bound classes: an internal failure on any thread
// but the owner's.
Status check_owner_thread(PyObject* obj, const ClassDef& def,
                          std::source_location where = std::source_location::current());

// Why the door refused `obj`, the first check that fails: a type mismatch
// naming the class, the thread check, then read access ("Already mutably
// borrowed" while a writer holds it) or write access ("Already borrowed" while
// anyone holds it). A signal handler's exception, raised while the door
// waited, comes first.
Error entry_refusal(PyObject* obj, ClassDef& def, bool writes);

// The door into an instance, with the reason when it is refused.
template <class Obj, bool Writes>
Result<Entered<Obj, Writes>> enter(PyObject* obj, ClassDef& def) {
    if (auto entered = enter_quietly<Obj, Writes>(obj, def, WhileWaiting::run_signal_handlers)) return entered;
    return entry_refusal(obj, def, Writes);
}

// Allocates an instance of `cls` with the class's allocation function and
// builds its C++ part in place from `args`; the interpreter's exception when
// the allocation fails.
template <class Obj, class... Args>
Result<Ref> new_instance(PyTypeObject* cls, Args&&... args) {
    allocfunc alloc = cls->tp_alloc != nullptr ? cls->tp_alloc : PyType_GenericAlloc;
    PyObject* raw = alloc(cls, 0);
    if (raw == nullptr) return Error::pending();
    auto* instance = reinterpret_cast<Obj*>(raw);
    new (&instance->access) AccessState();
    instance->construct(std::forward<Args>(args)...);
    return Ref::steal(raw);
}

// Deallocation: releases the C++ part, then frees the memory with the type's
// free function and lets go of the heap type.
template <class Obj>
void destroy_instance(PyObject* self) noexcept {
    PyTypeObject* cls = Py_TYPE(self);
    auto* instance = reinterpret_cast<Obj*>(self);
    instance->destruct();
    instance->access.~AccessState();
    cls->tp_free(self);
    Py_DECREF(cls);
}

// For the end of the interpreter, while it can still free objects: gives the
// free blocks kept for instances back to the interpreter's allocator, keeping
// none until `forget_class_objects`, and lets go of every class object and
// attribute copy made, which the next call makes anew.
void release_class_objects() noexcept;

// For the very end of the interpreter, calling nothing of Python: the same,
// without giving anything back, for what is made after the release.
void forget_class_objects() noexcept;

// "can't delete attribute", for every property setter given no value.
int refuse_delete();

}  // namespace trelk::binding
