// Traceback entries for failures inside the module: see traceback_entry.h.
#include "traceback_entry.h"

#include <Python.h>
#include <frameobject.h>

#include "process_state.h"
#include "references.h"
#include "shared_memory.h"

namespace vantel::color {
namespace {

// The first use, out of line: the error paths that follow pay nothing for it.
[[gnu::noinline]] PyCodeObject *make_code(Label label)
{
    const TracebackLabel &row = kTracebackLabels[static_cast<int>(label)];
    // The empty code object's line table maps its first instruction, where
    // a new frame stands, to `line`: the frame reports exactly it.
    PyCodeObject *code = PyCode_NewEmpty(row.file, row.function, row.line);
    PyCodeObject *&slot = process.caches.label_codes[static_cast<int>(label)];
    return code != nullptr ? publish_once(slot, code) : nullptr;
}

PyCodeObject *code_for(Label label)
{
    PyCodeObject *code = load_published(process.caches.label_codes[static_cast<int>(label)]);
    return code != nullptr ? code : make_code(label);
}

}  // namespace

void add_traceback_entry(Label label)
{
    PyObject *globals = load_published(process.module_dict);
    if (globals == nullptr || !PyErr_Occurred()) {
        return;  // no globals for a frame yet, or nothing to report
    }
    PyFrameObject *frame;
    {
        // Making the code object and the frame may fail, and making the
        // frame looks __builtins__ up in the module's namespace, which can
        // run Python code: the exception being reported waits aside.
        SavedException pending;
        PyCodeObject *code = code_for(label);
        if (code == nullptr) {
            pending.discard();  // the failure to make it is what is reported
            return;
        }
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        // Without a frame there is no entry; the exception being reported
        // is still the one to see.
        PyErr_Clear();
        if (frame == nullptr) {
            return;
        }
    }
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace vantel::color
