// Traceback entries for failures inside the module.  A failing function adds
// one entry for itself (function name, source file, line) to the pending
// exception before it returns its failure value, so a Python traceback shows
// where in the module the error arose.
#ifndef VANTEL_COLOR_FAILURE_REPORT_H
#define VANTEL_COLOR_FAILURE_REPORT_H

namespace vantel::color {

// The file names the entries carry: the module's two source files, and the
// pseudo-file of the pickling methods.
inline constexpr char kImplementationFile[] = "src/vantel/color/color.cpp";
inline constexpr char kDeclarationFile[] = "src/vantel/color/color.h";
inline constexpr char kStringSource[] = "<stringsource>";

// Adds an entry to the pending exception.  If its code object cannot be
// made, that failure's exception replaces the pending one; if its frame
// cannot be made, no entry is added.
void add_traceback_entry(const char *function_name, const char *file_name, int line);

}  // namespace vantel::color

#endif
