"""The benchmark command runs to the end in its quick form and prints every table.

Only the shape of the report is checked: timings are never asserted.
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.benchmark

BENCH = Path(__file__).resolve().parent.parent / "benchmarks" / "bench.py"


@pytest.fixture(scope="module")
def quick_run():
    return subprocess.run(
        [sys.executable, str(BENCH), "--quick", "--colours", "2000"],
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_quick_run_exits_0(quick_run):
    assert quick_run.returncode == 0, quick_run.stderr


@pytest.mark.parametrize(
    "heading",
    [
        "== construct with three positional arguments: T(10, 20, 30) ==",
        "== construct with four keywords: T(r=10, g=20, b=30, a=40) ==",
        "== read a channel: c.r ==",
        "== write a channel: c.r = 99 ==",
        "== repr(c) ==",
        "== unpack into four names: r, g, b, a = c ==",
        "== list(c) ==",
        "== native new through the consumer module",
        "== memory: bytes per colour, and a million colours in one list under tracemalloc",
        "== goals (ratios from this run) ==",
    ],
)
def test_quick_run_prints_table(quick_run, heading):
    assert any(line.startswith(heading) for line in quick_run.stdout.splitlines()), quick_run.stdout


def test_every_goal_is_judged(quick_run):
    goals = quick_run.stdout.split("== goals (ratios from this run) ==\n", 1)[1].splitlines()
    assert len(goals) == 9
    assert all(line[:4] in {"PASS", "MISS", "n/a "} for line in goals), goals


# The consumer module's C loops are among the operations counted.
def test_instruction_mode_counts_every_operation(tmp_path, consumer_path):
    figures = tmp_path / "benchmarks.md"
    run = subprocess.run(
        [sys.executable, str(BENCH), "--instructions", "--quick", "--markdown", str(figures)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert run.returncode == 0, run.stderr
    skipped = [line for line in run.stdout.splitlines() if line.startswith("skipped: ")]
    if skipped:
        pytest.skip(skipped[0])
    headings = [line for line in run.stdout.splitlines() if line.startswith("== instructions: ")]
    assert len(headings) >= 14, run.stdout
    # The first row of every table is Color's (or the loop's) own figure.
    for table in run.stdout.split("== instructions: ")[1:]:
        first_row = table.splitlines()[1]
        assert first_row.split()[-2].replace(",", "").isdigit(), table
    # The manual's tables: a row with a figure for every operation, and the
    # memory of Color and the two pure-Python peers.
    text = figures.read_text()
    rows = [line for line in text.splitlines() if re.match(r"\|[^|]+\| [\d,]+[ |]", line)]
    assert len(rows) >= len(headings) + 3, text


def test_thread_scaling_run_prints_its_table(tmp_path):
    """benchmarks/threads.py with this interpreter as two of its runs, in the
    smallest form: a table row for each, and the manual's table."""
    figures = tmp_path / "threads.md"
    command = f"{sys.executable} -X faulthandler"
    run = subprocess.run(
        [
            sys.executable,
            str(BENCH.with_name("threads.py")),
            "--rounds",
            "2",
            "--colours",
            "500",
            "--run",
            f"first={command}",
            "--run",
            f"second={command}",
            "--markdown",
            str(figures),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    rows = [
        line.split(" | ")
        for line in run.stdout.splitlines()
        if line.startswith(("| first", "| second"))
    ]
    assert [row[0] for row in rows] == ["| first", "| second"], run.stdout
    # The reference's own one-thread figure is 1 by definition.
    assert rows[0][2] == "1.00", run.stdout
    assert all(float(cell.strip(" |")) > 0 for row in rows for cell in row[2:]), run.stdout
    assert "| first |" in figures.read_text()
