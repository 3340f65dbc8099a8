// Module-level function objects: see module_function.h.
#include "module_function.h"

#include <cstddef>

#include "function_cast.h"
#include "object_attributes.h"
#include "references.h"

namespace vantel::color {
namespace {

struct ModuleFunction {
    PyObject_HEAD
    PyMethodDef *method;
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;
    PyObject *globals;
    PyObject *code;
    vectorcallfunc vectorcall;
};

ModuleFunction *as_function(PyObject *self)
{
    return reinterpret_cast<ModuleFunction *>(self);
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames)
{
    PyMethodDef *method = as_function(self)->method;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        // The defined name, not a reassigned __name__, identifies the function.
        PyErr_Format(PyExc_TypeError, "%.200s() %s", method->ml_name, "needs an argument");
        return nullptr;
    }
    auto function = function_cast<PyCFunctionFastWithKeywords>(method->ml_meth);
    return function(args[0], args + 1, nargs - 1, kwnames);
}

int function_traverse(PyObject *self, visitproc visit, void *arg)
{
    ModuleFunction *function = as_function(self);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module_name);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    return 0;
}

int function_clear(PyObject *self)
{
    ModuleFunction *function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module_name);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->code);
    return 0;
}

void function_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self)
{
    // Another thread may replace __qualname__ and release the old string
    // meanwhile: format a reference of the repr's own.
    OwnedRef qualname(attributes::read_field(self, &as_function(self)->qualname));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

PyObject *get_doc(PyObject *, void *)
{
    Py_RETURN_NONE;
}

namespace attr = attributes;

PyGetSetDef function_getset[] = {
    {"__name__", attr::get<ModuleFunction, &ModuleFunction::name>,
     attr::set_name<ModuleFunction, &ModuleFunction::name>, nullptr, nullptr},
    {"__qualname__", attr::get<ModuleFunction, &ModuleFunction::qualname>,
     attr::set_qualname<ModuleFunction, &ModuleFunction::qualname>, nullptr, nullptr},
    {"__module__", attr::get<ModuleFunction, &ModuleFunction::module_name>,
     attr::set_any<ModuleFunction, &ModuleFunction::module_name>, nullptr, nullptr},
    {"__globals__", attr::get<ModuleFunction, &ModuleFunction::globals>, nullptr, nullptr, nullptr},
    {"__code__", attr::get<ModuleFunction, &ModuleFunction::code>, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ModuleFunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vantel.color.color.function",
    .tp_basicsize = sizeof(ModuleFunction),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(ModuleFunction, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_getset = function_getset,
};

PyObject *new_module_function(PyMethodDef *method, PyObject *qualname, PyObject *module_name,
                              PyObject *globals, PyObject *code)
{
    OwnedRef name(PyUnicode_InternFromString(method->ml_name));
    if (!name) {
        return nullptr;
    }
    ModuleFunction *function = PyObject_GC_New(ModuleFunction, &ModuleFunctionType);
    if (function == nullptr) {
        return nullptr;
    }
    function->method = method;
    function->name = name.release();
    function->qualname = Py_NewRef(qualname);
    function->module_name = Py_NewRef(module_name);
    function->globals = Py_NewRef(globals);
    function->code = Py_NewRef(code);
    function->vectorcall = function_vectorcall;
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject *>(function);
}

}  // namespace vantel::color
