"""The instruction-count mode of the benchmarks: `python benchmarks/bench.py --instructions`.

Wall-clock figures on a shared machine swing by tens of percent; the number
of instructions an operation executes does not.  This mode runs every
statement under valgrind's callgrind, in one interpreter process for all
peers, and reports instructions per operation.

How one figure is taken: the statement runs in a loop
`for _ in repeat(None, n)` (itertools.repeat: unlike a range past 256, it
makes no int per turn),
first `WARM_UP` times (so that the interpreter's adaptive bytecode has
settled), then `n1` and then `n2` times.  Callgrind writes a dump of its
counters at each call of the marker `os.getppid()`: the C library's
getppid() is replaced, in the measured process alone, by the benchmark's own
(dump_marker.c, built for the run with valgrind's header and preloaded),
which asks for the dump with a client request, so that no symbol of the
interpreter is needed.  The marker is called before and after each of the
two loops, so the two dumps between them count the two loops alone.  Their
difference divided by `n2 - n1` is the cost of one iteration: start-up,
set-up and the loop's own entry cancel out.  What remains includes one turn
of the `for` loop itself, which the row "loop alone" prints.  The collector is disabled while the loops
run, so that a collection that happens to fall into one loop does not move
a figure; objects are still freed by reference counting.

The native `new` of the method table, `PyObject_Vectorcall` and
`PyObject_CallFunction` on the type are counted through the C loops of the
test-only consumer extension (tests/consumer), one of the test suite's
native builds that the nox sessions and benchmarks/all_interpreters.sh
install with the package; their figures are per colour, with no Python loop
around each one.

Beside the peers runs the yardstick, another of those builds: a colour type
that does only what Color's fast paths must (benchmarks/reference_color.cpp).
Each row gives Color's count over its count, and the goals bound that ratio.
"""

import dataclasses
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent

WARM_UP = 300

COLOR = "vantel Color"
PURE = "pure-Python __slots__ class"
PYGAME = "pygame.Color (pygame-ce)"
TUPLE = "floor: 4-tuple"
RANGE = "floor: range(10, 20, 30)"
LOOP = "loop alone"
REFERENCE = "minimal reference type"

PEER_TYPES = {
    COLOR: "Color",
    REFERENCE: "ReferenceColor",
    PURE: "PureColor",
    PYGAME: "pygame.Color",
}


@dataclasses.dataclass
class Case:
    peer: str
    setup: str = ""
    stmt: str = ""
    native: str = ""  # a consumer loop, called once with the count
    missing: str = ""
    instructions: float = None


@dataclasses.dataclass
class Operation:
    title: str
    cases: list

    def figure(self, peer):
        for case in self.cases:
            if case.peer == peer and case.instructions is not None:
                return case.instructions
        return None


def peer_cases(stmt, instance=True, missing=None, floor=None):
    missing = missing or {}
    cases = []
    for peer, type_name in PEER_TYPES.items():
        setup = f"T = {type_name}\n" + ("c = T(10, 20, 30)\n" if instance else "")
        cases.append(Case(peer, setup, stmt, missing=missing.get(peer, "")))
    if floor == TUPLE:
        cases.append(Case(TUPLE, "c = (10, 20, 30, 255)\n", stmt))
    elif floor == RANGE:
        cases.append(Case(RANGE, "T = range\n", stmt))
    return cases


ITERATION_FLOOR = TUPLE

SET_NONE = "try:\n    c.r = None\nexcept TypeError:\n    pass"
TOO_FEW = "try:\n    T(1, 2)\nexcept TypeError:\n    pass"

# The reference's failures add no traceback entry, so they are not compared.
REFERENCE_ERRORS = "fails without a traceback entry"

NATIVE_NEW = "method table new (C loop)"
NATIVE_VECTORCALL = "PyObject_Vectorcall(Color, 4 ints) (C loop)"
NATIVE_CALL_FUNCTION = 'PyObject_CallFunction(Color, "iiii", ...) (C loop)'
PYTHON_CALL = "Color(10, 20, 30, 255) from Python"


def operations():
    return [
        Operation("T(10, 20, 30)", peer_cases("T(10, 20, 30)", instance=False, floor=RANGE)),
        Operation(
            "T(r=10, g=20, b=30, a=40)",
            peer_cases(
                "T(r=10, g=20, b=30, a=40)",
                instance=False,
                missing={PYGAME: "takes no keyword arguments"},
            ),
        ),
        Operation("c.r", peer_cases("c.r")),
        Operation("c.r = 99", peer_cases("c.r = 99")),
        Operation("repr(c)", peer_cases("repr(c)")),
        Operation("r, g, b, a = c", peer_cases("r, g, b, a = c", floor=ITERATION_FLOOR)),
        Operation("list(c)", peer_cases("list(c)", floor=ITERATION_FLOOR)),
        Operation("255 in c", peer_cases("255 in c", floor=ITERATION_FLOOR)),
        Operation("next(iter(c))", peer_cases("next(iter(c))", floor=ITERATION_FLOOR)),
        Operation("for x in c: break", peer_cases("for x in c:\n    break", floor=ITERATION_FLOOR)),
        Operation(
            "try: c.r = None / except TypeError: pass",
            peer_cases(SET_NONE, missing={REFERENCE: REFERENCE_ERRORS}),
        ),
        Operation(
            "try: T(1, 2) / except TypeError: pass",
            peer_cases(
                TOO_FEW,
                instance=False,
                missing={PYGAME: "raises ValueError instead", REFERENCE: REFERENCE_ERRORS},
            ),
        ),
        Operation(
            "native construction (per colour)",
            [
                Case(NATIVE_NEW, native="new_many"),
                Case(NATIVE_VECTORCALL, native="call_type_many"),
                Case(NATIVE_CALL_FUNCTION, native="call_function_many"),
                Case(PYTHON_CALL, "T = Color\n", "T(10, 20, 30, 255)"),
            ],
        ),
        Operation("pass", [Case(LOOP, "", "pass")]),
    ]


# ---------------------------------------------------------------------------
# The measured process, run under callgrind.


def child_main(spec_path):
    """Runs every case of the spec between markers; callgrind does the counting."""
    spec = json.loads(Path(spec_path).read_text())
    sys.path.insert(0, str(HERE))
    os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
    import gc
    import itertools

    import pure_python_color

    from vantel.color.color import Color

    namespace = {
        "Color": Color,
        "PureColor": pure_python_color.Color,
        "_repeat": itertools.repeat,
    }
    if spec["pygame"]:
        import pygame

        namespace["pygame"] = pygame
    if spec["consumer"]:
        sys.path.insert(0, str(REPO / "tests"))
        from support import load_extension

        namespace["consumer"] = load_extension("_color_consumer", spec["consumer"])
    if spec["reference"]:
        sys.path.insert(0, str(REPO / "tests"))
        from support import load_extension

        reference = load_extension("_reference_color", spec["reference"])
        namespace["ReferenceColor"] = reference.Color
    marker = os.getppid  # each call dumps: see dump_marker.c
    n1, n2 = spec["n1"], spec["n2"]
    gc.collect()
    gc.disable()
    for setup, stmt, native in spec["cases"]:
        if native:
            source = f"def run(_n):\n    consumer.{native}(_n)\n"
        else:
            source = (
                "def run(_n):\n"
                + textwrap.indent(setup, "    ")
                + "    for _ in _repeat(None, _n):\n"
                + textwrap.indent(stmt, "        ")
                + "\n"
            )
        scope = dict(namespace)
        exec(compile(source, "<benchmark>", "exec"), scope)
        run = scope["run"]
        run(WARM_UP)
        marker()
        run(n1)
        marker()
        run(n2)
        marker()
    gc.enable()


# ---------------------------------------------------------------------------
# The driver.


def dump_totals(directory):
    """The instruction total of every callgrind dump, in the order written."""
    totals = []
    for path in Path(directory).iterdir():
        stem, _, suffix = path.name.rpartition(".")
        if stem != "callgrind.out" or not suffix.isdigit():
            continue
        for line in path.read_text().splitlines():
            if line.startswith(("totals:", "summary:")):
                totals.append((int(suffix), int(line.split()[1])))
                break
    return [total for _, total in sorted(totals)]


def find_test_build(name):
    """The installed test build `name`: (its path, "") or (None, why not)."""
    sys.path.insert(0, str(REPO / "tests"))
    from support import built_for_tests

    try:
        return str(built_for_tests(name)), ""
    except FileNotFoundError as error:
        return None, str(error)


def find_consumer():
    """The installed test consumer: (its path, "") or (None, why not)."""
    return find_test_build("_color_consumer")


def build_marker(directory):
    """Compiles dump_marker.c into `directory`: (its path, "") or (None, why not)."""
    target = Path(directory, "dump_marker.so")
    command = [
        os.environ.get("CC", "cc"),
        "-shared",
        "-fPIC",
        "-O2",
        str(HERE / "dump_marker.c"),
        "-o",
        str(target),
    ]
    try:
        result = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        return None, f"no C compiler to build the dump marker ({error})"
    if result.returncode != 0:
        return None, f"the dump marker could not be built:\n{result.stderr}"
    return str(target), ""


def has_pygame():
    try:
        import pygame  # noqa: F401
    except ImportError:
        return False
    return True


def measure(ops, n1, n2, directory):
    """Fills in every case's instructions; returns an error text or ''."""
    marker, reason = build_marker(directory)
    if marker is None:
        return reason
    pygame_here = has_pygame()
    consumer, reason = find_consumer()
    reference, reference_reason = find_test_build("_reference_color")
    measured = []
    for op in ops:
        for case in op.cases:
            if case.missing:
                continue
            if case.peer == PYGAME and not pygame_here:
                case.missing = "pygame-ce is not installed"
            elif case.native and consumer is None:
                case.missing = reason
            elif case.peer == REFERENCE and reference is None:
                case.missing = reference_reason
            else:
                measured.append(case)
    spec = {
        "n1": n1,
        "n2": n2,
        "pygame": pygame_here,
        "consumer": consumer,
        "reference": reference,
        "cases": [(case.setup, case.stmt, case.native) for case in measured],
    }
    spec_path = Path(directory, "spec.json")
    spec_path.write_text(json.dumps(spec))
    command = [
        "valgrind",
        "--tool=callgrind",
        "--dump-line=no",
        f"--callgrind-out-file={Path(directory, 'callgrind.out')}",
        sys.executable,
        str(Path(__file__).resolve()),
        "--child",
        str(spec_path),
    ]
    preload = os.pathsep.join(filter(None, [marker, os.environ.get("LD_PRELOAD")]))
    result = subprocess.run(
        command, capture_output=True, text=True, env=dict(os.environ, LD_PRELOAD=preload)
    )
    if result.returncode != 0:
        return f"the measured process failed (exit {result.returncode}):\n{result.stderr[-2000:]}"
    totals = dump_totals(directory)
    # Three markers per case: the first dump holds everything before the
    # first loop, the next two the loops of n1 and n2 iterations.
    if len(totals) < 3 * len(measured):
        return f"expected {3 * len(measured)} callgrind dumps, found {len(totals)}"
    for index, case in enumerate(measured):
        first, second = totals[3 * index + 1], totals[3 * index + 2]
        case.instructions = (second - first) / (n2 - n1)
    return ""


def print_operation(op):
    base = op.cases[0].instructions
    width = max(len(case.peer) for case in op.cases) + 2
    print(f"== instructions: {op.title} ==")
    for case in op.cases:
        if case.instructions is None:
            print(f"{case.peer:<{width}}{'n/a':>10}{'':>10}  ({case.missing})")
            continue
        ratio = f"{case.instructions / base:>10.2f}" if base else ""
        print(f"{case.peer:<{width}}{case.instructions:>10,.0f}{ratio}")
    reference = op.figure(REFERENCE)
    if base and reference:
        print(f"(Color over the reference: {base / reference:.3f})")
    print()


# The two error paths as this mode counted them before they were made lean,
# when every traceback entry built its code object afresh and every message
# was made anew.
ERROR_PATHS_BEFORE = {
    "try: c.r = None / except TypeError: pass": 9_052,
    "try: T(1, 2) / except TypeError: pass": 12_607,
}


@dataclasses.dataclass
class Goal:
    """A bound on the ratio of two counts of one row: at least `bound` times
    Color's for a peer (`peer` over Color), at most `bound` times the
    reference's for Color (Color over `peer`)."""

    title: str
    peer: str
    bound: float
    at_most: bool = False

    @property
    def ratio_name(self):
        return "Color over the reference" if self.at_most else "the pure-Python class over Color"

    @property
    def text(self):
        return f"{self.title}: {self.ratio_name}"

    def ratio(self, color, other):
        return color / other if self.at_most else other / color

    def met(self, ratio):
        return ratio <= self.bound if self.at_most else ratio >= self.bound


ITERATION_ROWS = ["r, g, b, a = c", "list(c)", "255 in c", "next(iter(c))", "for x in c: break"]
OTHER_ROWS = ["T(10, 20, 30)", "T(r=10, g=20, b=30, a=40)", "c.r", "c.r = 99", "repr(c)"]


def goals():
    """Each iteration row at least as far ahead of the pure-Python class as
    it was on CPython 3.13 when those goals were set; every row of the
    reference within a few per cent of it, iteration a little further
    without the GIL, where the module's free lists are per thread."""
    import sysconfig

    without_gil = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and not sys._is_gil_enabled()
    iteration_bound = 1.12 if without_gil else 1.05
    return [
        Goal("next(iter(c))", PURE, 2.20),
        Goal("r, g, b, a = c", PURE, 2.72),
        Goal("list(c)", PURE, 1.99),
        Goal("255 in c", PURE, 2.29),
        *(Goal(title, REFERENCE, 1.02, at_most=True) for title in OTHER_ROWS),
        *(Goal(title, REFERENCE, iteration_bound, at_most=True) for title in ITERATION_ROWS),
    ]


def interpreter_build():
    """The interpreter and how it was built: compiler and optimisation level
    from its configuration; link-time optimisation from the configuration or
    from the symbols it leaves in the executable; whether libpython is a
    shared library, from the libraries this process has mapped; and the
    free-threaded build's GIL as this process runs it.  A distribution's
    configuration describes the build of its shared library, not always
    that of its executable: profile-guided optimisation is named only where
    the configuration records it."""
    import platform
    import sysconfig

    configure = sysconfig.get_config_var("CONFIG_ARGS") or ""
    flags = (sysconfig.get_config_var("OPT") or "").split()
    level = next((flag for flag in reversed(flags) if flag.startswith("-O")), "no -O")
    try:
        maps = Path("/proc/self/maps").read_text()
    except OSError:
        maps = ""
    shared = "libpython" in maps
    lto = "--with-lto" in configure
    if not lto and not shared:
        try:
            lto = b".lto_priv." in Path(sys.executable).resolve().read_bytes()
        except OSError:
            pass
    pgo = "--enable-optimizations" in configure
    recorded = [name for name, used in (("PGO", pgo), ("LTO", lto)) if used]
    missing = [name for name, used in (("PGO", pgo), ("LTO", lto)) if not used]
    parts = [f"built with {platform.python_compiler()} {level}"]
    parts += recorded
    if missing:
        parts.append(f"no {' or '.join(missing)} in its configuration")
    parts.append("shared libpython" if shared else "libpython linked in")
    name = f"CPython {platform.python_version()}"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        name += "t"
        parts.append("GIL enabled" if sys._is_gil_enabled() else "GIL disabled")
    return f"{name} ({', '.join(parts)})"


def goal_results(ops):
    """(goal, ratio or None, Color's count, the other's count) of each goal."""
    by_title = {op.title: op for op in ops}
    results = []
    for goal in goals():
        color, other = by_title[goal.title].figure(COLOR), by_title[goal.title].figure(goal.peer)
        ratio = None if color is None or other is None else goal.ratio(color, other)
        results.append((goal, ratio, color, other))
    return results


def goal_state(goal, ratio):
    return "n/a" if ratio is None else "met" if goal.met(ratio) else "not met"


def bound_text(goal):
    return f"{'at most' if goal.at_most else 'at least'} {goal.bound:.2f}x"


def print_goals(ops):
    print(f"== instruction goals on {interpreter_build()} ==")
    print("(ratios from this run, each as its line says)")
    for goal, ratio, color, other in goal_results(ops):
        state = goal_state(goal, ratio)
        if ratio is None:
            print(f"{state:<8}{goal.text}: not measured")
        else:
            print(
                f"{state:<8}{goal.text}: {ratio:.2f}x "
                f"(goal {bound_text(goal)}; {color:,.0f} vs {other:,.0f})"
            )
    by_title = {op.title: op for op in ops}
    for title, before in ERROR_PATHS_BEFORE.items():
        color = by_title[title].figure(COLOR)
        if color is None:
            print(f"n/a     {title}: not measured")
            continue
        value = before / color
        state = "met" if value >= 2 else "not met"
        print(f"{state:<8}{title}: {value:.2f}x cheaper than the {before:,} of old (goal 2x)")
    print()


def goals_table(ops):
    """The goals as a Markdown table."""
    import figures

    rows = []
    for goal, ratio, color, other in goal_results(ops):
        figure = "" if ratio is None else f"{ratio:.2f}x ({color:,.0f} vs {other:,.0f})"
        rows.append(
            (
                f"`{goal.title}`: {goal.ratio_name}",
                bound_text(goal),
                figure,
                goal_state(goal, ratio),
            )
        )
    return figures.markdown_table(("goal", "bound", "this run", ""), rows)


FLOOR_LABELS = {TUPLE: "4-tuple", RANGE: "`range(10, 20, 30)`"}
NATIVE_LABELS = {
    NATIVE_NEW: "`new` through the method table",
    NATIVE_VECTORCALL: "`PyObject_Vectorcall(Color, ...)` with four ints",
    NATIVE_CALL_FUNCTION: '`PyObject_CallFunction(Color, "iiii", ...)`',
    PYTHON_CALL: "`Color(10, 20, 30, 255)` from Python",
}


def markdown_tables(ops):
    """The figures of `ops` as Markdown tables: (title, table) pairs.  In
    brackets, each peer's count over Color's, and Color's over the
    reference's."""
    import figures

    def cell(op, peer, base_peer):
        value = op.figure(peer)
        if value is None:
            missing = next((case.missing for case in op.cases if case.peer == peer), "")
            return f"n/a ({missing})" if missing else ""
        base = op.figure(base_peer) if peer != base_peer else None
        return f"{value:,.0f}" + (f" ({value / base:.2f})" if base else "")

    def reference_cell(op):
        value, color = op.figure(REFERENCE), op.figure(COLOR)
        if value is None:
            return cell(op, REFERENCE, COLOR)
        return f"{value:,.0f}" + (f" ({color / value:.2f})" if color else "")

    rows = []
    for op in ops:
        if op.cases[0].peer != COLOR:
            continue
        floor = next((case.peer for case in op.cases if case.peer in FLOOR_LABELS), None)
        floor_cell = f"{FLOOR_LABELS[floor]} {cell(op, floor, COLOR)}" if floor else ""
        title = "`" + op.title.replace(" / ", "` / `") + "`"
        peers = [cell(op, peer, COLOR) for peer in (COLOR, PURE, PYGAME)]
        rows.append((title, peers[0], reference_cell(op), *peers[1:], floor_cell))
    loop = next(op for op in ops if op.cases[0].peer == LOOP)
    rows.append(("`pass` (the loop alone, in every figure)", cell(loop, LOOP, LOOP), *[""] * 4))
    header = (
        "operation",
        "`Color`",
        "reference (`Color` over it)",
        "pure-Python `__slots__`",
        "`pygame.Color`",
        "floor",
    )
    native = next(op for op in ops if op.cases[0].peer == NATIVE_NEW)
    native_rows = [
        (NATIVE_LABELS[case.peer], cell(native, case.peer, NATIVE_NEW)) for case in native.cases
    ]
    return [
        ("Instructions per operation, from Python:", figures.markdown_table(header, rows)),
        ("Goals (ratios from this run, each as its row says):", goals_table(ops)),
        (
            "Instructions per colour made from another compiled module (C loops in the test "
            "consumer), with Python's call for comparison:",
            figures.markdown_table(("how", "instructions"), native_rows),
        ),
    ]


def main(quick, report=None):
    """Counts and prints every operation; then, given `report`, calls it with
    the operations and valgrind's version."""
    print("mode: instructions per operation under callgrind (deterministic)")
    if shutil.which("valgrind") is None:
        print("skipped: valgrind is not installed, so instructions cannot be counted")
        print("(install it with `apt-get install valgrind`, or run without --instructions)")
        return 0
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        print("skipped: AddressSanitizer is preloaded, and valgrind cannot run beside it")
        return 0
    version = subprocess.run(["valgrind", "--version"], capture_output=True, text=True)
    print(f"valgrind: {version.stdout.strip()}")
    n1, n2 = (20, 120) if quick else (200, 1200)
    print(f"loops: {n1:,} and {n2:,} iterations per case, after {WARM_UP} to warm up")
    print()
    ops = operations()
    with tempfile.TemporaryDirectory(prefix="vantel-instructions-") as directory:
        error = measure(ops, n1, n2, directory)
    if error:
        print(f"failed to count instructions: {error}")
        return 0
    for op in ops:
        print_operation(op)
    print_goals(ops)
    if report is not None:
        report(ops, version.stdout.strip())
    return 0


if __name__ == "__main__" and sys.argv[1:2] == ["--child"]:
    child_main(sys.argv[2])
