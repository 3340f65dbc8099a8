"""Benchmarks of vantel.color.color.Color against its peers.

Run it as

    python benchmarks/bench.py            # the full run, about ten seconds
    python benchmarks/bench.py --quick    # a fast smoke run; its figures are rough
    python benchmarks/bench.py --instructions  # instructions per operation (callgrind)
    python benchmarks/bench.py --instructions --markdown docs/figures/benchmarks-3.13.md
    bash benchmarks/all_interpreters.sh   # the manual's figures on every interpreter

It prints one table per operation, a memory table and a summary of the goals,
each marked PASS or MISS.  The figures are ns per operation, the best of
many short repeats (short, so that the best of them falls in a quiet moment
of a busy machine), and each peer's time divided by Color's (above 1: Color is
faster).  Within every repeat the peers of an operation run one after another,
in a rotating order, so that whatever else the machine is doing hits them all
alike.  Every figure includes the cost of the timing loop itself, which each
table prints below it.

The peers:

- a careful pure-Python class with `__slots__` and the same clamping, aliases,
  repr and iteration (benchmarks/pure_python_color.py);
- `dataclasses.dataclass(slots=True)` with four fields and no validation;
- `ctypes.Structure` with four `c_ubyte` fields;
- `pygame.Color` from pygame-ce, when it is installed
  (benchmarks/requirements.txt); it refuses values outside 0..255 instead of
  clamping them, and takes no keyword arguments;
- the interpreter's own floors: `range(a, b, c)` for a three-argument builtin
  construction and a 4-tuple for unpacking and `list()`.

The native `new` of the Color method table is timed through the test-only
consumer extension (tests/consumer), one of the test suite's native builds
that the nox sessions and benchmarks/all_interpreters.sh install with the
package, against calling the type
from C with `PyObject_Vectorcall` and with `PyObject_CallFunction`; without
that build the table is skipped.

`--instructions` counts instructions per operation under callgrind instead
(benchmarks/instructions.py): deterministic figures, for the same peers in
one run, and the rows this mode adds (membership, an early break,
`next(iter(c))` and two error paths) and a minimal reference type
(benchmarks/reference_color.cpp), and judges its goals as met or not met:
each row of Color within a few per cent of the reference's count, and each
iteration row at least as far ahead of the pure-Python class as on CPython
3.13.  With `--markdown
FILE` it also writes those figures, the goals and the memory table as the
manual's tables, with the date, the machine, the versions and the
interpreter's build they were measured with.

The memory goal counts the colours alone: tracemalloc's total for the list of
colours, less the list's own allocation, which the table shows beside it.

Timing goals are only reported: the command exits 0 whatever the figures.
"""

import argparse
import ctypes
import dataclasses
import gc
import os
import platform
import subprocess
import sys
import timeit
import tracemalloc
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPO / "scripts"))

os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")

import figures  # noqa: E402
import instructions  # noqa: E402
import pure_python_color  # noqa: E402

import vantel.color  # noqa: E402
from vantel.color.color import Color  # noqa: E402

try:
    import pygame
except ImportError:
    pygame = None

PureColor = pure_python_color.Color


@dataclasses.dataclass(slots=True)
class DataclassColor:
    r: int
    g: int
    b: int
    a: int = 255


class CtypesColor(ctypes.Structure):
    _fields_ = [(name, ctypes.c_ubyte) for name in ("r", "g", "b", "a")]


COLOR = "vantel Color"
PURE = "pure-Python __slots__ class"
DATACLASS = "dataclass(slots=True)"
CTYPES = "ctypes.Structure"
PYGAME = "pygame.Color (pygame-ce)"

# Each peer's type, bound in the timed code as the local `T`.
PEER_TYPES = {
    COLOR: "Color",
    PURE: "PureColor",
    DATACLASS: "DataclassColor",
    CTYPES: "CtypesColor",
    PYGAME: "pygame.Color",
}

NAMESPACE = {
    "Color": Color,
    "PureColor": PureColor,
    "DataclassColor": DataclassColor,
    "CtypesColor": CtypesColor,
    "pygame": pygame,
}


@dataclasses.dataclass
class Case:
    """One row of a table: a peer, how to time it, or why it has no figure."""

    peer: str
    setup: str = ""
    stmt: str = ""
    missing: str = ""  # a reason when the peer cannot do the operation
    ops_per_stmt: int = 1
    best: float = float("inf")  # seconds for the whole timed loop

    def ns_per_op(self, loops):
        return self.best / (loops * self.ops_per_stmt) * 1e9


@dataclasses.dataclass
class Group:
    title: str
    cases: list
    base_label: str = "x Color"  # heading of the column of ratios to the first row
    loops_per_stmt_divisor: int = 1  # for statements that each run a loop of their own
    empty_loop: Case = None
    loops: int = 0  # timed statements per repeat

    def case(self, peer):
        for case in self.cases:
            if case.peer == peer and not case.missing:
                return case
        return None

    def ns(self, peer):
        case = self.case(peer)
        return None if case is None else case.ns_per_op(self.loops)


def peer_cases(stmt, peers, extra_setup="", missing=None, floors=()):
    """The cases of one operation: the same statement for every peer's type."""
    missing = missing or {}
    cases = []
    for peer in peers:
        if peer in missing:
            cases.append(Case(peer, missing=missing[peer]))
        elif peer == PYGAME and pygame is None:
            cases.append(Case(peer, missing="pygame-ce is not installed"))
        else:
            setup = f"T = {PEER_TYPES[peer]}\n{extra_setup}"
            cases.append(Case(peer, setup=setup, stmt=stmt))
    for label, setup in floors:
        cases.append(Case(label, setup=setup, stmt=stmt))
    return cases


ALL_PEERS = [COLOR, PURE, DATACLASS, CTYPES, PYGAME]
NOT_ITERABLE = {
    DATACLASS: "not iterable (no __iter__)",
    CTYPES: "not iterable",
}


def python_groups():
    instance = "c = T(10, 20, 30)\n"
    tuple_floor = "c = (10, 20, 30, 255)\n"
    return [
        Group(
            "construct with three positional arguments: T(10, 20, 30)",
            peer_cases(
                "T(10, 20, 30)",
                ALL_PEERS,
                floors=[("floor: range(10, 20, 30)", "T = range")],
            ),
        ),
        Group(
            "construct with four keywords: T(r=10, g=20, b=30, a=40)",
            peer_cases(
                "T(r=10, g=20, b=30, a=40)",
                ALL_PEERS,
                missing={PYGAME: "takes no keyword arguments"},
            ),
        ),
        Group("read a channel: c.r", peer_cases("c.r", ALL_PEERS, instance)),
        Group("write a channel: c.r = 99", peer_cases("c.r = 99", ALL_PEERS, instance)),
        Group(
            "repr(c)",
            peer_cases(
                "repr(c)",
                ALL_PEERS,
                instance,
                missing={CTYPES: "has only the default object repr"},
            ),
        ),
        Group(
            "unpack into four names: r, g, b, a = c",
            peer_cases(
                "r, g, b, a = c",
                ALL_PEERS,
                instance,
                missing=NOT_ITERABLE,
                floors=[("floor: 4-tuple", tuple_floor)],
            ),
        ),
        Group(
            "list(c)",
            peer_cases(
                "list(c)",
                ALL_PEERS,
                instance,
                missing=NOT_ITERABLE,
                floors=[("floor: 4-tuple", tuple_floor)],
            ),
        ),
    ]


NATIVE_NEW = "method table new (C loop)"
NATIVE_CALL = "PyObject_Vectorcall(Color, 4 ints) (C loop)"
NATIVE_CALL_FUNCTION = 'PyObject_CallFunction(Color, "iiii", ...) (C loop)'
PYTHON_CALL = "Color(10, 20, 30, 255) from Python"

# The consumer's loops, by the case they time.
NATIVE_LOOPS = {
    NATIVE_NEW: "new_many",
    NATIVE_CALL: "call_type_many",
    NATIVE_CALL_FUNCTION: "call_function_many",
}


def native_group(loops):
    """The consumer's C loops over `new` and over calling the type, or a reason."""
    path, reason = instructions.find_consumer()
    if path is None:
        return None, reason
    from support import load_extension

    consumer = load_extension("_color_consumer", path)
    for name in NATIVE_LOOPS.values():
        if not hasattr(consumer, name):
            return None, f"the consumer has no {name}()"
    NAMESPACE["consumer"] = consumer
    # Each timed statement runs one C loop of `batch` colours.
    batch = max(1, loops // 100)
    cases = [
        Case(label, f"f = consumer.{name}\nn = {batch}", "f(n)", ops_per_stmt=batch)
        for label, name in NATIVE_LOOPS.items()
    ]
    group = Group(
        "native new through the consumer module (ns per colour)",
        cases + [Case(PYTHON_CALL, "T = Color", "T(10, 20, 30, 255)")],
        base_label="x new",
        loops_per_stmt_divisor=100,
    )
    return group, ""


def make_timer(case):
    return timeit.Timer(case.stmt, case.setup, globals=NAMESPACE)


def run_groups(groups, loops, repeats):
    """Times every group; the cases of one group interleave within each repeat."""
    for group in groups:
        group.loops = loops // group.loops_per_stmt_divisor
        timed = [case for case in group.cases if not case.missing]
        # The bare timing loop, interleaved with the rest so it sees the same noise.
        group.empty_loop = Case("timing loop alone", "", "pass")
        timed.append(group.empty_loop)
        timers = [(case, make_timer(case)) for case in timed]
        number = group.loops
        for _, timer in timers:  # warm up: specialise the bytecode, fill free lists
            timer.timeit(max(1, number // 10))
        for repeat in range(repeats):
            shift = repeat % len(timers)
            for case, timer in timers[shift:] + timers[:shift]:
                case.best = min(case.best, timer.timeit(number))


def print_group(group):
    base = group.ns(group.cases[0].peer)
    width = max(len(case.peer) for case in group.cases) + 2
    print(f"== {group.title} ==")
    print(f"{'peer':<{width}}{'ns/op':>10}{group.base_label:>10}")
    for case in group.cases:
        if case.missing:
            print(f"{case.peer:<{width}}{'n/a':>10}{'':>10}  ({case.missing})")
            continue
        ns = case.ns_per_op(group.loops)
        print(f"{case.peer:<{width}}{ns:>10.1f}{ns / base:>10.2f}")
    empty = group.empty_loop.ns_per_op(group.loops)
    print(f"(the timing loop alone: {empty:.1f} ns per statement, included in the figures above)")
    print()


def colour_memory(make, count):
    """Bytes traced by tracemalloc for `count` colours held in one list.

    Returns (total, list alone): the list's own allocation is sys.getsizeof of
    the list, which tracemalloc traces too.
    """
    gc.collect()
    gc.disable()
    try:
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        colours = [make(i & 255, 20, 30) for i in range(count)]
        total = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        list_bytes = sys.getsizeof(colours)
        del colours
    finally:
        gc.enable()
    return total, list_bytes


MEMORY_PEERS = [
    (COLOR, Color),
    (PURE, PureColor),
    (DATACLASS, DataclassColor),
    (PYGAME, pygame.Color if pygame else None),
]


def measure_memory(count):
    rows = {}
    for peer, make in MEMORY_PEERS:
        if make is None:
            rows[peer] = None
            continue
        size = sys.getsizeof(make(10, 20, 30))
        total, list_bytes = colour_memory(make, count)
        rows[peer] = (size, total, list_bytes)
    return rows


def print_memory(rows, count):
    scale = 1_000_000 / count
    scaled = "" if count == 1_000_000 else f" (measured on {count:,}, scaled)"
    width = max(len(peer) for peer in rows) + 2
    print(
        "== memory: bytes per colour, and a million colours in one list under tracemalloc"
        f"{scaled} =="
    )
    print(
        f"{'peer':<{width}}{'getsizeof':>11}{'colours MB':>12}{'B/colour':>10}"
        f"{'list MB':>10}{'total MB':>10}"
    )
    for peer, row in rows.items():
        if row is None:
            print(f"{peer:<{width}}{'n/a':>11}  (pygame-ce is not installed)")
            continue
        size, total, list_bytes = row
        colours = total - list_bytes
        print(
            f"{peer:<{width}}{size:>11}{colours * scale / 1e6:>12.2f}{colours / count:>10.1f}"
            f"{list_bytes * scale / 1e6:>10.2f}{total * scale / 1e6:>10.2f}"
        )
    print("(MB = 10**6 bytes; 'colours' is the total less the list's own allocation)")
    print()


def ratio(group, slower, faster):
    """slower's time over faster's, or None when either has no figure."""
    a, b = group.ns(slower), group.ns(faster)
    return None if a is None or b is None else a / b


def goal(passed, text):
    mark = "n/a " if passed is None else ("PASS" if passed else "MISS")
    print(f"{mark}  {text}")


def print_goals(groups, native, memory, count):
    construct, _, _, write, text_form, unpack, _ = groups
    print("== goals (ratios from this run) ==")
    color_ns, range_ns = construct.ns(COLOR), construct.ns("floor: range(10, 20, 30)")
    goal(
        color_ns <= range_ns,
        f"Color(10, 20, 30) no slower than range(10, 20, 30): {color_ns:.1f} vs {range_ns:.1f} ns "
        f"(Color takes {color_ns / range_ns:.2f}x range's time)",
    )

    def at_least(group, peer, factor, text):
        value = ratio(group, peer, COLOR)
        if value is None:
            goal(None, f"{text}: {peer} not measured")
        else:
            goal(value >= factor, f"{text}: {value:.2f}x")

    at_least(construct, PURE, 5, "Color(10, 20, 30) at least 5x faster than the pure-Python class")
    value = ratio(construct, PYGAME, COLOR)
    if value is None:
        goal(None, "Color(10, 20, 30) faster than pygame.Color(10, 20, 30): no pygame-ce")
    else:
        goal(value > 1, f"Color(10, 20, 30) faster than pygame.Color(10, 20, 30): {value:.2f}x")
    at_least(write, PURE, 3, "channel write at least 3x faster than the pure-Python property")
    at_least(text_form, PURE, 3, "repr at least 3x faster than the pure-Python f-string repr")
    at_least(unpack, PURE, 2, "unpacking into four names at least 2x faster than the pure __iter__")

    size = memory[COLOR][0]
    goal(size <= 32, f"32 bytes per colour: sys.getsizeof gives {size}")
    total, list_bytes = memory[COLOR][1:]
    colours_mb = (total - list_bytes) * 1_000_000 / count / 1e6
    goal(
        colours_mb <= 33,
        f"a million colours within 33 MB under tracemalloc: {colours_mb:.2f} MB "
        f"({total * 1_000_000 / count / 1e6:.2f} MB with the list)",
    )
    # Calling the type binds and converts four arguments and runs __init__,
    # which `new` skips; both calls still allocate the same object, so `new`
    # can win only by that part.
    label = "new from another compiled module faster than calling the type from C"
    if native is None:
        goal(None, f"{label}: not measured")
    else:
        vectorcall = ratio(native, NATIVE_CALL, NATIVE_NEW)
        call_function = ratio(native, NATIVE_CALL_FUNCTION, NATIVE_NEW)
        goal(
            vectorcall > 1,
            f"{label}: {vectorcall:.2f}x PyObject_Vectorcall, "
            f"{call_function:.2f}x PyObject_CallFunction",
        )


# The peers as the tables of the manual name them.
MARKDOWN_LABELS = {
    COLOR: "`Color`",
    PURE: "pure-Python `__slots__`",
    DATACLASS: "`dataclass(slots=True)`",
    PYGAME: "`pygame.Color`",
}


def write_markdown(path, ops, valgrind, count):
    """Writes the instruction counts of `ops` and the memory table to `path`."""
    memory = measure_memory(count)
    scale = 1_000_000 / count
    rows = []
    for peer, row in memory.items():
        if row is None:
            rows.append((MARKDOWN_LABELS[peer], "n/a (pygame-ce is not installed)", "", ""))
            continue
        size, total, list_bytes = row
        rows.append(
            (
                MARKDOWN_LABELS[peer],
                size,
                f"{(total - list_bytes) * scale / 1e6:.2f}",
                f"{total * scale / 1e6:.2f}",
            )
        )
    header = ("peer", "`sys.getsizeof`", "a million colours, MB", "with their list, MB")
    versions = [
        f"g++ {compiler_version()} (the module's compiler)",
        valgrind,
        f"pygame-ce {pygame.version.ver if pygame else 'not installed'}",
    ]
    figures.write_figures(
        path,
        f"{figures.run_description(versions)} The interpreter: {instructions.interpreter_build()}.",
        instructions.markdown_tables(ops)
        + [
            (
                "Memory: bytes per colour, and a million colours in one list under tracemalloc:",
                figures.markdown_table(header, rows),
            )
        ],
    )
    print(f"figures written to {path}")


def compiler_version():
    try:
        result = subprocess.run(["g++", "-dumpfullversion"], capture_output=True, text=True)
    except OSError:
        return "not installed"
    return result.stdout.strip()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a fast smoke run with rough figures")
    parser.add_argument(
        "--instructions",
        action="store_true",
        help="count instructions per operation under callgrind instead of timing",
    )
    parser.add_argument(
        "--loops", type=int, help="timed statements per repeat (default 50000, quick 2000)"
    )
    parser.add_argument(
        "--repeat", type=int, help="repeats, of which the best counts (default 20, quick 2)"
    )
    parser.add_argument(
        "--colours", type=int, help="colours for the memory table (default 1000000, quick 10000)"
    )
    parser.add_argument(
        "--markdown",
        metavar="FILE",
        help="with --instructions: also write the figures as Markdown tables to FILE "
        "(benchmarks/all_interpreters.sh writes the manual's, docs/figures/benchmarks-*.md)",
    )
    args = parser.parse_args(argv)
    if args.markdown and not args.instructions:
        parser.error("--markdown needs --instructions: only instruction counts are published")
    loops = args.loops or (2_000 if args.quick else 50_000)
    repeats = args.repeat or (2 if args.quick else 20)
    count = args.colours or (10_000 if args.quick else 1_000_000)

    print(
        f"machine: {figures.cpu_model()}, {os.cpu_count()} CPUs, "
        f"load average {os.getloadavg()[0]:.2f}"
    )
    print(f"python: {platform.python_implementation()} {sys.version.split()[0]} ({sys.executable})")
    print(f"vantel.color.color: {vantel.color.color.__file__}")
    print(f"pygame-ce: {pygame.version.ver if pygame else 'not installed'}")
    if args.instructions:
        report = None
        if args.markdown:

            def report(ops, valgrind):
                write_markdown(args.markdown, ops, valgrind, count)

        return instructions.main(args.quick, report)
    quick = " (quick run)" if args.quick else ""
    print(f"timing: {loops:,} statements per repeat, best of {repeats} repeats{quick}")
    print()

    groups = python_groups()
    native, reason = native_group(loops)
    run_groups(groups + ([native] if native else []), loops, repeats)
    for group in groups:
        print_group(group)
    if native:
        print_group(native)
    else:
        print(f"== native new through the consumer module ==\nskipped: {reason}\n")

    memory = measure_memory(count)
    print_memory(memory, count)
    print_goals(groups, native, memory, count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
