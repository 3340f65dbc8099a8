// Traceback entries for failures inside the module: see failure_report.h.
#include "failure_report.h"

#include <Python.h>
#include <frameobject.h>

#include "module_state.h"

namespace vantel::color {

void add_traceback_entry(const char *function_name, const char *file_name, int line)
{
    if (module_dict == nullptr || !PyErr_Occurred()) {
        return;  // no globals for a frame yet, or nothing to report
    }
    // Making the code object may fail and must not clobber the exception
    // being reported, so that exception is set aside meanwhile.
    PyObject *pending = PyErr_GetRaisedException();
    PyCodeObject *code = PyCode_NewEmpty(file_name, function_name, line);
    if (code == nullptr) {
        Py_XDECREF(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    // The empty code object's line table maps its first instruction, where
    // a new frame stands, to `line`: the frame reports exactly that line.
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, module_dict, nullptr);
    Py_DECREF(code);
    if (frame == nullptr) {
        return;
    }
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace vantel::color
