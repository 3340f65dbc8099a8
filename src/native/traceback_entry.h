// Traceback entries for failures inside the module.  A failing function adds
// one entry for itself (function name, source file, line) to the pending
// exception before it returns its failure value, so that a Python traceback
// shows where in the module the error arose.
//
// Every entry the module can add is a row of kTracebackLabels below, named
// by a Label.  The files and lines are fixed labels of the functions, not
// positions in this source tree.
#ifndef VANTEL_COLOR_TRACEBACK_ENTRY_H
#define VANTEL_COLOR_TRACEBACK_ENTRY_H

#include <Python.h>

#include <cstddef>
#include <iterator>

namespace vantel::color {

// The file names the entries carry: the module's implementation and
// declaration files, and the pseudo-file of the pickling methods.
inline constexpr char kImplementationFile[] = "src/vantel/color/color.cpp";
inline constexpr char kDeclarationFile[] = "src/vantel/color/color.h";
inline constexpr char kStringSource[] = "<stringsource>";

enum class Label {
    // The Color type.
    ColorNew,  // the method table's `new`
    ColorInit,
    ColorRepr,
    ColorIter,
    // Channel writes, in the order of the type's properties.
    SetR,
    SetG,
    SetB,
    SetA,
    SetRed,
    SetGreen,
    SetBlue,
    SetAlpha,
    // The iteration body, by the resume point an exception meets it at.
    IterBodyStart,
    IterBodyAfterR,
    IterBodyAfterG,
    IterBodyAfterB,
    IterBodyAfterA,
    // The pickling refusal.
    ReduceCython,
    SetstateArguments,
    SetstateRefusal,
    // Module execution: a failing step, and the binding of each module-level
    // function.
    ModuleExec,
    ModuleExecReduceCython,
    ModuleExecSetstateCython,
    Count,
};

struct TracebackLabel {
    Label label;  // the row's own index, checked below
    const char *function;
    const char *file;
    int line;
};

inline constexpr TracebackLabel kTracebackLabels[] = {
    {Label::ColorNew, "vantel.color.color.Color.new", kDeclarationFile, 13},
    {Label::ColorInit, "vantel.color.color.Color.__init__", kImplementationFile, 3},
    {Label::ColorRepr, "vantel.color.color.Color.__repr__", kImplementationFile, 12},
    {Label::ColorIter, "vantel.color.color.Color.__iter__", kImplementationFile, 14},
    {Label::SetR, "vantel.color.color.Color.r.__set__", kImplementationFile, 26},
    {Label::SetG, "vantel.color.color.Color.g.__set__", kImplementationFile, 34},
    {Label::SetB, "vantel.color.color.Color.b.__set__", kImplementationFile, 42},
    {Label::SetA, "vantel.color.color.Color.a.__set__", kImplementationFile, 50},
    {Label::SetRed, "vantel.color.color.Color.red.__set__", kImplementationFile, 59},
    {Label::SetGreen, "vantel.color.color.Color.green.__set__", kImplementationFile, 67},
    {Label::SetBlue, "vantel.color.color.Color.blue.__set__", kImplementationFile, 75},
    {Label::SetAlpha, "vantel.color.color.Color.alpha.__set__", kImplementationFile, 83},
    {Label::IterBodyStart, "__iter__", kImplementationFile, 14},
    {Label::IterBodyAfterR, "__iter__", kImplementationFile, 15},
    {Label::IterBodyAfterG, "__iter__", kImplementationFile, 16},
    {Label::IterBodyAfterB, "__iter__", kImplementationFile, 17},
    {Label::IterBodyAfterA, "__iter__", kImplementationFile, 18},
    {Label::ReduceCython, "vantel.color.color.Color.__reduce_cython__", kStringSource, 2},
    {Label::SetstateArguments, "vantel.color.color.Color.__setstate_cython__", kStringSource, 3},
    {Label::SetstateRefusal, "vantel.color.color.Color.__setstate_cython__", kStringSource, 4},
    {Label::ModuleExec, "init vantel.color.color", kImplementationFile, 1},
    {Label::ModuleExecReduceCython, "init vantel.color.color", kStringSource, 1},
    {Label::ModuleExecSetstateCython, "init vantel.color.color", kStringSource, 3},
};

constexpr bool labels_are_in_order()
{
    for (std::size_t i = 0; i < std::size(kTracebackLabels); ++i) {
        if (static_cast<std::size_t>(kTracebackLabels[i].label) != i) {
            return false;
        }
    }
    return std::size(kTracebackLabels) == static_cast<std::size_t>(Label::Count);
}
static_assert(labels_are_in_order(), "one row per Label, in the enum's order");

// The label `offset` rows after `first`, for families of entries such as the
// eight channel writes.
constexpr Label nth_label(Label first, int offset)
{
    return static_cast<Label>(static_cast<int>(first) + offset);
}

// Adds the entry `label` to the pending exception; does nothing when no
// exception is pending.  If the entry's code object or frame cannot be made,
// no entry is added and that failure's exception replaces the pending one.
void add_traceback_entry(Label label);

}  // namespace vantel::color

#endif
