// vantel.color.color: the module definition, its create and exec functions
// and the init function the interpreter calls.  Exec builds the process-wide
// state, readies the types and publishes Color and its native interface; a
// module that has executed once is the process's for good.
//
// This file has no header: no other file uses what it defines.  The
// interpreter finds PyInit_color, and an embedding program the flag below,
// by their exported names.
#include <Python.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include "color_type.h"
#include "construction.h"
#include "function_cast.h"
#include "generator.h"
#include "iteration.h"
#include "module_function.h"
#include "process_state.h"
#include "pickling.h"
#include "references.h"
#include "shared_memory.h"
#include "traceback_entry.h"

// A test build may pretend to have been compiled for another interpreter
// version, to exercise the version check.
#ifndef VANTEL_COLOR_BUILT_FOR_VERSION_HEX
#define VANTEL_COLOR_BUILT_FOR_VERSION_HEX PY_VERSION_HEX
#endif

// Marks a definition for export from the built module, which otherwise
// exports nothing but PyInit_color (PyMODINIT_FUNC marks that one).
#if defined(_WIN32) || defined(__CYGWIN__)
#define VANTEL_COLOR_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define VANTEL_COLOR_EXPORT __attribute__((visibility("default")))
#else
#define VANTEL_COLOR_EXPORT
#endif

// Set by a program that embeds the interpreter, before the import, to run the
// module as __main__.
extern "C" {
VANTEL_COLOR_EXPORT int __pyx_module_is_main_vantel__color__color = 0;
}

namespace vantel::color {
namespace {

// Guards the module instance while it is read and taken (create) or
// claimed and given up (exec).  It is held for a few loads and stores and
// one reference count, never across a call that can run Python code, wait,
// or take a lock: whatever the taker holds (importlib's module lock, the
// GIL, a critical section), it never waits for anything while holding this
// one, so no cycle can form.  No fork copies it held: the forking thread
// holds the GIL, or has stopped every other thread at a point where it
// could detach, and neither happens inside.
class InstanceGuard {
public:
    InstanceGuard() noexcept
    {
        while (locked_.test_and_set(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }

    ~InstanceGuard() { locked_.clear(std::memory_order_release); }

    InstanceGuard(const InstanceGuard &) = delete;
    InstanceGuard &operator=(const InstanceGuard &) = delete;

private:
    static inline std::atomic_flag locked_;
};

// ---------------------------------------------------------------------------
// Creation.

int copy_spec_attribute(PyObject *spec, PyObject *module_namespace, const char *attribute,
                        const char *key, bool copy_none)
{
    PyObject *value = nullptr;
    const int found = PyObject_GetOptionalAttrString(spec, attribute, &value);
    if (found <= 0) {
        return found;  // absent: skipped; -1: the lookup's error
    }
    OwnedRef owner(value);
    if (value == Py_None && !copy_none) {
        return 0;
    }
    return PyDict_SetItemString(module_namespace, key, value);
}

PyObject *color_module_create(PyObject *spec, PyModuleDef *)
{
    const int64_t interpreter =
        PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (interpreter == -1) {
        return nullptr;
    }
    ProcessState::Import &import = process.import;
    int64_t owner = -1;
    if (!std::atomic_ref<int64_t>(import.owning_interpreter)
             .compare_exchange_strong(owner, interpreter, std::memory_order_relaxed) &&
        owner != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    // The module executed, or being executed by another thread or further
    // up this one's stack: waiting for that exec could close a cycle with a
    // lock the import system cannot see, so the module is handed over as it
    // stands, as importlib hands over a partially initialised module.
    PyObject *held = nullptr;
    {
        InstanceGuard guard;
        held = Py_XNewRef(import.module_instance);
    }
    if (held != nullptr) {
        return held;
    }
    // A new module: its exec decides whether it is the one.
    OwnedRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    OwnedRef module(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *module_namespace = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, module_namespace, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, module_namespace, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, module_namespace, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, module_namespace, "submodule_search_locations", "__path__",
                            false) < 0) {
        return nullptr;
    }
    return module.release();
}

int set_builtins(PyObject *module)
{
    OwnedRef builtins(PyImport_AddModuleRef("builtins"));
    return builtins ? PyObject_SetAttrString(module, "__builtins__", builtins.get()) : -1;
}

// Warns when the running interpreter's major.minor differs from the one the
// module was built for; a filter may turn the warning into an error.
int check_interpreter_version()
{
    constexpr unsigned long built = VANTEL_COLOR_BUILT_FOR_VERSION_HEX;
    const unsigned long running = Py_Version;
    if ((running >> 16) == (built >> 16)) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  static_cast<int>((built >> 24) & 0xFF), static_cast<int>((built >> 16) & 0xFF),
                  "vantel.color.color", "does not match",
                  static_cast<int>(running >> 24), static_cast<int>((running >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1);
}

// ---------------------------------------------------------------------------
// Execution.

// The key the module is registered under, whatever name it was loaded as.
constexpr char kRegistrationKey[] = "vantel.color.color";

int register_module(PyObject *module)
{
    if (__pyx_module_is_main_vantel__color__color != 0) {
        OwnedRef main_name(PyUnicode_FromString("__main__"));
        if (!main_name || PyObject_SetAttrString(module, "__name__", main_name.get()) < 0) {
            return -1;
        }
    }
    PyObject *modules = PyImport_GetModuleDict();
    // The lookup that reports its errors: one that swallowed a failure to
    // make the key would pass for "no entry" and overwrite what is there.
    PyObject *existing = nullptr;
    const int found = PyDict_GetItemStringRef(modules, kRegistrationKey, &existing);
    Py_XDECREF(existing);
    if (found != 0) {
        return found < 0 ? -1 : 0;  // an error; or an entry there, whatever it holds, stays
    }
    if (PyDict_SetItemString(modules, kRegistrationKey, module) < 0) {
        return -1;
    }
    process.import.registered_by_exec = true;
    return 0;
}

int set_color(PyObject *module)
{
    return PyObject_SetAttrString(module, "Color", reinterpret_cast<PyObject *>(&ColorType));
}

int bind_test_dict()
{
    OwnedRef tests(PyDict_New());
    return tests ? PyDict_SetItemString(process.module_dict, "__test__", tests.get()) : -1;
}

// One step of module execution after the module reference is taken: its
// number, what it does (a failure leaves its exception pending) and the
// traceback entry its failure gets, if any.
struct ExecStep {
    int number;
    int (*run)(PyObject *module);
    std::optional<Label> failure_label;
};

constexpr std::optional<Label> kNoEntry = std::nullopt;

constexpr ExecStep kExecSteps[] = {
    {3, set_builtins, kNoEntry},
    {4, [](PyObject *) { return check_interpreter_version(); }, kNoEntry},
    {5, [](PyObject *) {
         return make_shared_constants() < 0 || make_construction_constants() < 0 ||
                        make_pickling_constants() < 0 || make_iteration_constants() < 0
                    ? -1
                    : 0;
     }, kNoEntry},
    // The record type is readied here, with the other support types, and
    // not only at step 14: a failure after step 10 leaves Color ready and
    // reachable (object.__subclasses__()), and iterating it needs the
    // record type.  Step 14 then finds it ready.
    {6, [](PyObject *) {
         return PyType_Ready(&ModuleFunctionType) < 0 || ready_generator_type() < 0
                    ? -1
                    : ready_iteration_record_type();
     }, Label::ModuleExec},
    {7, register_module, Label::ModuleExec},
    {8, [](PyObject *) {
         return make_iteration_code_object() < 0 ? -1 : make_pickling_code_objects();
     }, Label::ModuleExec},
    // Every colour records the table when it is created: fill it first.
    {9, [](PyObject *) { fill_method_table(); return 0; }, Label::ModuleExec},
    {10, [](PyObject *) { return ready_color_type(); }, Label::ModuleExec},
    {11, [](PyObject *) { return publish_method_table(); }, Label::ModuleExec},
    {12, set_color, Label::ModuleExec},
    {13, [](PyObject *) { return run_pickling_setup(&ColorType); }, Label::ModuleExec},
    {14, [](PyObject *) { return ready_iteration_record_type(); }, Label::ModuleExec},
    {15, [](PyObject *) { return bind_reduce_cython(); }, Label::ModuleExecReduceCython},
    {16, [](PyObject *) { return bind_setstate_cython(); }, Label::ModuleExecSetstateCython},
    {17, [](PyObject *) { return bind_test_dict(); }, Label::ModuleExec},
};

#ifdef VANTEL_COLOR_TEST_HOOKS
// Test builds only: the environment variable VANTEL_COLOR_FAIL_EXEC_STEP
// names an exec step that fails with RuntimeError, to exercise the failure
// path of every step.
bool fail_on_purpose(int step)
{
    const char *chosen = std::getenv("VANTEL_COLOR_FAIL_EXEC_STEP");
    if (chosen == nullptr || std::atoi(chosen) != step) {
        return false;
    }
    PyErr_Format(PyExc_RuntimeError, "exec step %d failed on purpose", step);
    return true;
}
#else
constexpr bool fail_on_purpose(int) { return false; }
#endif

// Runs the steps in order.  Returns null, or the step that failed.
const ExecStep *run_exec_steps(PyObject *module)
{
    for (const ExecStep &step : kExecSteps) {
        if (fail_on_purpose(step.number) || step.run(module) < 0) {
            return &step;
        }
    }
    return nullptr;
}

// A failed exec takes back its registration under the fixed key, so that a
// later import of vantel.color.color cannot find the half-made module.  (The
// import system does the same for the name it imports.)
void unregister_module(PyObject *module)
{
    if (!process.import.registered_by_exec) {
        return;
    }
    process.import.registered_by_exec = false;
    SavedException exec_failure;  // what the caller must see, whatever happens here
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *registered = nullptr;
    if (PyDict_GetItemStringRef(modules, kRegistrationKey, &registered) > 0 &&
        registered == module) {
        (void)PyDict_DelItemString(modules, kRegistrationKey);
    }
    Py_XDECREF(registered);
    PyErr_Clear();
}

int color_module_exec(PyObject *module)
{
    ProcessState::Import &import = process.import;
    // Exec claims the process for this module, so that one module is ever
    // executed and only one exec runs the steps at a time.
    PyObject *claimed;
    {
        InstanceGuard guard;
        claimed = import.module_instance;
        if (claimed == nullptr) {
            import.module_instance = Py_NewRef(module);
        }
    }
    if (claimed == module) {
        return 0;  // executed, or being executed further up this or another thread
    }
    if (claimed != nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'color' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    set_module_dict(PyModule_GetDict(module));

    const ExecStep *failed_step = run_exec_steps(module);
    if (failed_step == nullptr) {
        import.registered_by_exec = false;
        return 0;
    }
    if (failed_step->failure_label) {
        add_traceback_entry(*failed_step->failure_label);
    }
    unregister_module(module);
    // A later import starts afresh with a new module object; every step is
    // safe to repeat on the process-wide types.
    {
        InstanceGuard guard;
        import.module_instance = nullptr;
    }
    Py_DECREF(module);
    return -1;
}

PyMethodDef module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

// The module runs without the interpreter lock on an interpreter that can
// (see shared_memory.h for how it shares memory between threads); elsewhere
// the slot is ignored.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, VANTEL_COLOR_SLOT_FUNCTION(color_module_create)},
    {Py_mod_exec, VANTEL_COLOR_SLOT_FUNCTION(color_module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef color_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "color",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vantel::color

PyMODINIT_FUNC PyInit_color(void)
{
    // PyModuleDef_Init writes the definition on its first call, and
    // importlib's unlocked calls can run this from several threads at once:
    // one thread makes that call, the others wait for it and read the result.
    // The guard is waited for attached, with any of importlib's locks held;
    // PyModuleDef_Init runs no Python code and takes no lock, so the wait is
    // short and closes no cycle, and a fork (which stops or excludes every
    // attached thread) cannot come while it is held.
    static PyObject *const definition = PyModuleDef_Init(&vantel::color::color_module);
    return definition;
}
