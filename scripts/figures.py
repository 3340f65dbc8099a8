"""Tables of measured figures for the manual, each saying when, where and with
what it was measured, so that the figures of one named run appear once, in
docs/figures/, written by the command that measures them.

    python scripts/figures.py coverage SUMMARY.json OUTPUT.md [VERSION...]

writes the coverage table from gcovr's JSON summary, naming the tools'
VERSIONs ("g++ 12.2.0") beside the interpreter's (the nox session coverage
calls it); benchmarks/bench.py imports the helpers for its own tables.
"""

import datetime
import json
import os
import platform
import sys
from pathlib import Path


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def run_description(versions):
    """One sentence: the date, the machine, and `versions` (strings such as
    "gcovr 8.3"), after the interpreter's."""
    python = f"{platform.python_implementation()} {platform.python_version()}"
    machine = f"{cpu_model()}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}"
    return (
        f"Figures of one run on {datetime.date.today().isoformat()}: {machine}; "
        + ", ".join([python, *versions])
        + "."
    )


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def write_figures(path, description, tables):
    """Writes `description` and then each (title, table) to `path`."""
    parts = [
        "<!-- Written by the command that measures these figures; do not edit. -->\n",
        description + "\n",
    ]
    for title, table in tables:
        parts.append((f"{title}\n\n" if title else "") + table)
    Path(path).write_text("\n".join(parts))


def coverage_tables(summary):
    """The per-file and total table of a gcovr JSON summary."""

    def percent(value):  # gcovr gives none for a file without branches
        return "" if value is None else f"{value:.1f}%"

    def figures(entry):
        return (
            f"{entry['line_covered']} / {entry['line_total']}",
            percent(entry["line_percent"]),
            f"{entry['branch_covered']} / {entry['branch_total']}",
            percent(entry["branch_percent"]),
        )

    rows = [(f"`{Path(entry['filename']).name}`", *figures(entry)) for entry in summary["files"]]
    rows.append(("**all of `src/native`**", *figures(summary)))
    header = ("file", "lines run", "lines", "branches taken", "branches")
    return [("", markdown_table(header, rows))]


def main(argv):
    if len(argv) < 4 or argv[1] != "coverage":
        sys.exit(__doc__)
    summary = json.loads(Path(argv[2]).read_text())
    write_figures(argv[3], run_description(argv[4:]), coverage_tables(summary))


if __name__ == "__main__":
    main(sys.argv)
