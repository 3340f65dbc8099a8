"""Reads the ThreadSanitizer reports of a run (the nox session
thread_sanitizer) and fails if any names the module:

    python scripts/tsan_reports.py REPORT_DIRECTORY [UNSTRIPPED_MODULE]

A report names the module when one of its frames is in the module's library
or its sources; those are printed whole, each of the module's frames named
with its source line from the unstripped library (the installed one is
stripped).  The others, wholly inside the interpreter or the tests' own
libraries, are listed by their first frames.
"""

import re
import subprocess
import sys
from pathlib import Path

NAMES_MODULE = re.compile(r"[(/]color\.cpython-\S*\.so|src/native/|vantel/color/color\.h")
MODULE_ADDRESS = re.compile(r"color\.\S*\.so\+(0x[0-9a-f]+)")


def source_line(unstripped: str, address: str) -> str:
    located = subprocess.run(
        ["addr2line", "-f", "-C", "-i", "-e", unstripped, address], capture_output=True, text=True
    )
    return " ".join(located.stdout.split("\n"))


def main(directory: Path, unstripped: str | None) -> int:
    failed, others = False, 0
    for report in sorted(path for path in directory.iterdir() if path.is_file()):
        lines = report.read_text(errors="replace").splitlines()
        if any(NAMES_MODULE.search(line) for line in lines):
            failed = True
            print(f"=== {report}: names the module")
            for line in lines:
                if unstripped and (match := MODULE_ADDRESS.search(line)):
                    line += "  " + source_line(unstripped, match[1])
                print(line)
        else:
            others += sum(line.startswith("WARNING: ThreadSanitizer") for line in lines)
            print(f"=== {report}: wholly inside the interpreter or the tests' own libraries")
            for line in lines:
                if re.match(r"WARNING|    #[0-3] ", line):
                    print(line)
    if failed:
        print("ThreadSanitizer reported races in the module")
        return 1
    print(f"no ThreadSanitizer report names the module ({others} elsewhere, listed above)")
    return 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]), sys.argv[2] if len(sys.argv) > 2 else None))
