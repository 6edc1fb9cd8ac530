// The module's entry point: the interpreter guard, the once-per-process
// construction of the module tree, and the two functions of the root module.
#include <Python.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "binding/args.hpp"
#include "binding/class.hpp"
#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "binding/wait.hpp"
#include "classes/constraint.hpp"
#include "classes/outline.hpp"
#include "classes/version.hpp"
#include "core/memory_pool.hpp"
#include "core/thread_id.hpp"
#include "core/tracing.hpp"
#include "platform/threads.hpp"

namespace trelk::classes {

using namespace trelk::binding;

namespace {

// What the module keeps across calls, all of it process-wide, and how long:
//
// - For the interpreter that imported it, forgotten when that interpreter ends
//   (`forget_interpreter`, registered with Py_AtExit), so that one started
//   again in the same process builds it all anew: the owning interpreter and
//   the root module (here); each class object and the copy of its attributes,
//   in its ClassDef, and the instance pool's free blocks (binding/class.cpp);
//   each constructor's interned parameter names, in its Signature
//   (binding/args.cpp); the InternalFailure class (binding/error.cpp); and
//   the threads waiting for standard output are told (binding/wait.cpp).
//   Only the class objects, their attribute copies and the pool's blocks are
//   given back, earlier in the interpreter's end, while it can still take
//   them (`release_at_interpreter_end`); the rest of the ended interpreter's
//   objects and memory are its own to free or leave, and are never touched
//   again.
// - For the process: the construction latch, the fork handler, registered once
//   (`reset_after_fork`), the line writer (core/tracing.cpp: installed once per
//   process, it stays through later interpreters) and the node pool (system
//   memory).
struct ModuleState {
    // The interpreter that imported the module first; any other is refused.
    std::atomic<std::int64_t> owning_interpreter{-1};
    // The thread that builds the module tree, while it does; 0 when free.
    // Reset in a forked child unless the forking thread holds it.
    std::atomic<std::uint64_t> latch_holder{0};
    // The root module, once built: stored holding the latch, read by any
    // thread without it.
    std::atomic<PyObject*> root{nullptr};
    // Whether the handler that resets this state in a forked child (and the
    // line writer's lock) is registered; read and written holding the latch.
    bool forks_handled = false;
    // Whether `forget_interpreter` is registered for the end of the current
    // interpreter; the end runs it once and drops it. Registered under the
    // publication lock.
    bool forgets_at_exit = false;
    // Whether `release_at_interpreter_end` is registered for the end of the
    // current interpreter; read and written holding the latch.
    bool releases_at_end = false;
};
ModuleState state;

// In a forked child, which has only the thread that forked: a latch or line
// lock that another thread held would be waited for forever.
void reset_after_fork() noexcept {
    std::uint64_t holder = state.latch_holder.load(std::memory_order_relaxed);
    if (holder != core::current_thread_id()) state.latch_holder.store(0, std::memory_order_relaxed);
    core::tracing::reset_after_fork();
#ifdef Py_GIL_DISABLED
    give_no_way_after_fork();
#endif
}

// When the ending interpreter clears its own dictionary: after its modules and
// before its last collection, while its object allocator can still take blocks
// back and the classes can still be freed with the last of their instances.
void release_at_interpreter_end(PyObject*) noexcept {
    release_class_objects();
}

// Kept in the interpreter's own dictionary, which no Python code reaches, by a
// capsule that runs the release when the dictionary lets go of it. The release
// is set once the capsule is in, so that a capsule that could not be put in
// runs nothing; the key names this copy of the module, whose capsule no other
// copy loaded from elsewhere replaces (and so releases early).
bool release_at_end(PyInterpreterState* interpreter) {
    PyObject* dict = PyInterpreterState_GetDict(interpreter);  // borrowed
    if (dict == nullptr) {
        PyErr_NoMemory();  // the only reason it gives
        return false;
    }
    Ref key = Ref::steal(PyUnicode_FromFormat("trelk.release_at_interpreter_end.%p", static_cast<void*>(&state)));
    if (!key) return false;
    Ref capsule = Ref::steal(PyCapsule_New(&state, "trelk.release_at_interpreter_end", nullptr));
    return capsule && PyDict_SetItem(dict, key.get(), capsule.get()) == 0 &&
           PyCapsule_SetDestructor(capsule.get(), release_at_interpreter_end) == 0;
}

// At the very end of Py_FinalizeEx, when no Python code runs any more and the
// interpreter's objects are gone or abandoned: calls nothing of Python. A
// thread that held the latch then is parked for good (`InsideModule`, binding/python_compat.hpp).
void forget_interpreter() noexcept {
    state.owning_interpreter.store(-1, std::memory_order_relaxed);
    state.latch_holder.store(0, std::memory_order_relaxed);
    state.root.store(nullptr, std::memory_order_relaxed);
    state.forgets_at_exit = false;
    state.releases_at_end = false;
    forget_class_objects();
    forget_interned_names();
    forget_internal_failure_class();
    forget_waiting_threads();
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "trelk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ and sets the attribute.
bool add_member(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        raise_error(type_mismatch(all.get(), "list"));
        return false;
    }
    // Appending to a list fails only for memory, and says so.
    return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

bool add_class(PyObject* module, ClassDef& def) {
    PyTypeObject* cls = class_object(def);
    if (cls == nullptr) return false;
    Ref name = Ref::steal(PyUnicode_FromString(def.name));
    return name && add_member(module, name.get(), reinterpret_cast<PyObject*>(cls));
}

bool add_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    return name && add_member(module, name.get(), function.get());
}

// Publishes `child` as a member of `parent` and in sys.modules under `dotted_name`.
bool register_submodule(PyObject* parent, PyObject* child, const char* dotted_name) {
    Ref name = Ref::steal(PyModule_GetNameObject(child));
    if (!name || !add_member(parent, name.get(), child)) return false;
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) return false;
    Ref modules = Ref::steal(PyObject_GetAttrString(sys.get(), "modules"));
    return modules && PyMapping_SetItemString(modules.get(), dotted_name, child) == 0;
}

// The submodule trelk.package.`name` of `package`, holding `classes`.
template <class Classes>
bool add_submodule(PyObject* package, const char* name, const Classes& classes) {
    Ref module = Ref::steal(PyModule_New(name));
    if (!module) return false;
    for (ClassDef* def : classes) {
        if (!add_class(module.get(), *def)) return false;
    }
    return register_submodule(package, module.get(), (std::string("trelk.package.") + name).c_str());
}

PyObject* init_tracing(PyObject*, PyObject*) noexcept;
PyObject* main_entry(PyObject*, PyObject*) noexcept;

PyMethodDef init_tracing_def = {"init_tracing", init_tracing, METH_NOARGS, "init_tracing()\n--\n\n"};
PyMethodDef main_entry_def = {"main_entry", main_entry, METH_NOARGS, "main_entry()\n--\n\n"};

bool build_module_tree(PyObject* root) {
    Ref package = Ref::steal(PyModule_New("package"));
    return package && add_submodule(package.get(), "outline", std::array{&outline::package_outline_class}) &&
           add_submodule(package.get(), "constraint", constraint::constraint_module_classes()) &&
           add_submodule(package.get(), "version", std::array{&version::version_class}) &&
           register_submodule(root, package.get(), "trelk.package") && add_function(root, init_tracing_def) &&
           add_function(root, main_entry_def);
}

PyObject* init_module() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return nullptr;
    if (!takes_single_phase_modules(interpreter)) {
        raise_exception(PyExc_ImportError,
                        "trelk does not support subinterpreters: this one takes no module with "
                        "single-phase initialisation");
        return nullptr;
    }
    // Registered anew for each interpreter, whose end runs it once.
    bool forgets_at_exit;
    {
        PublicationLock registering;
        forgets_at_exit = state.forgets_at_exit || (state.forgets_at_exit = Py_AtExit(forget_interpreter) == 0);
    }
    if (!forgets_at_exit) {
        raise_exception(PyExc_ImportError,
                        "trelk cannot be imported: no room is left among the interpreter's exit "
                        "functions (Py_AtExit), and without one an interpreter started again in "
                        "this process would get this one's module");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!state.owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise_exception(PyExc_ImportError,
                        "trelk does not support subinterpreters: it is already initialised in "
                        "another interpreter of this process");
        return nullptr;
    }
    if (PyObject* root = state.root.load(std::memory_order_acquire)) return Ref::borrow(root).release();

    // The tree is built by one thread. A second entry on that thread (a
    // finalizer that imports trelk while the tree is built) is refused, since
    // the tree is half-built. Other threads wait for the latch without the
    // interpreter lock, so that a thread holding the latch can never deadlock
    // against one holding the lock, and Ctrl-C ends their wait.
    const std::uint64_t self = core::current_thread_id();
    if (state.latch_holder.load(std::memory_order_relaxed) == self) {
        raise_exception(PyExc_ImportError,
                        "trelk cannot be imported while this thread is initialising it");
        return nullptr;
    }
    for (std::uint64_t free = 0; !state.latch_holder.compare_exchange_weak(free, self, std::memory_order_acquire);
         free = 0) {
        void* waiting = interpreter_wait_policy.step_aside();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        interpreter_wait_policy.reenter(waiting);
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    struct LatchReleased {
        ~LatchReleased() { state.latch_holder.store(0, std::memory_order_release); }
    } released;
    if (PyObject* root = state.root.load(std::memory_order_relaxed)) return Ref::borrow(root).release();
    if (!state.forks_handled && !(state.forks_handled = platform::run_in_forked_children(reset_after_fork))) {
        PyErr_NoMemory();  // the only reason the system gives
        return nullptr;
    }
    if (!state.releases_at_end && !(state.releases_at_end = release_at_end(interpreter))) return nullptr;

#ifndef NDEBUG
    core::memory_pool::pool_access_allowed = thread_state_attached;
#endif
    Ref root = Ref::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!root) return nullptr;
#ifdef Py_GIL_DISABLED
    // Every call of the module is safe for threads that run at once: the
    // interpreter keeps its lock off when it imports the module.
    if (PyUnstable_Module_SetGIL(root.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
    if (!build_module_tree(root.get())) return nullptr;
    state.root.store(Ref::borrow(root.get()).release(), std::memory_order_release);
    return root.release();
}

// A written line answers None; a signal handler that raised, its exception; one that
// writes while its thread's write is under way is refused, as print() would.
PyObject* written_or_raised(core::tracing::Outcome outcome, const char* call, auto failure) {
    switch (outcome.kind) {
        case core::tracing::Outcome::Done: Py_RETURN_NONE;
        case core::tracing::Outcome::Interrupted: return nullptr;
        case core::tracing::Outcome::Reentered:
            raise_error(Error::runtime(std::string("reentrant call: ") + call + "() while this thread writes to stdout"));
            return nullptr;
        case core::tracing::Outcome::AlreadyInstalled:
        case core::tracing::Outcome::Failed: raise_error(Error::internal(failure())); return nullptr;
    }
    platform::unreachable();
}

PyObject* init_tracing(PyObject*, PyObject*) noexcept {
    return guarded([]() -> PyObject* {
        bool styled = !core::tracing::no_color_requested(std::getenv("NO_COLOR"));
        return written_or_raised(
            core::tracing::install_writer(styled, interpreter_wait_policy, core::tracing::Level::Warn, "trelk",
                                          "tracing activated"),
            "init_tracing", [] {
                return std::string("Failed to set subscriber: SetGlobalDefaultError(\"a global default trace "
                                   "dispatcher has already been set\")");
            });
    });
}

PyObject* main_entry(PyObject*, PyObject*) noexcept {
    return guarded([]() -> PyObject* {
        core::tracing::Outcome written = core::tracing::write_standard_output("trelk entrypoint\n", interpreter_wait_policy);
        return written_or_raised(written, "main_entry", [&written] {
            return std::string("failed printing to stdout: ") + std::strerror(written.error);
        });
    });
}

}  // namespace

}  // namespace trelk::classes

PyMODINIT_FUNC PyInit_trelk() {
    return trelk::binding::guarded([] { return trelk::classes::init_module(); });
}
