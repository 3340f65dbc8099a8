"""Thread scaling of Color: private colours built and iterated by one thread
and by two at once, on several interpreters.

    python benchmarks/threads.py --run 'LABEL=COMMAND' [--run ...]
                                 [--rounds N] [--colours N] [--markdown FILE]

Each COMMAND starts a Python with the package installed (for example
`env PYTHON_GIL=0 .venv-3.14t/bin/python`); it is run from the checkout's
top with `benchmarks/threads.py --worker ...` appended, once per round.  The
worker times the same job with one thread and with two, back to back in
alternating order, and prints both throughputs.  benchmarks/thread_scaling.sh
sets up the free-threaded 3.14 and the 3.14 GIL build and runs this.

Each thread's job: build `--colours` colours of its own, and iterate each
(`for channel in c`).  The throughput of a run is all colours over the wall
time from the threads' common start to the last one's end.

Wall-clock figures move with whatever else the machine does, so only ratios
of runs made side by side are kept: within one round, two threads' throughput
over one thread's in the same process (the scaling; 2 is perfect), and each
run's throughput over the first --run's one-thread run of the same round.
The figures are the medians of the rounds' ratios.  The last column is
the processor time the threads spent per colour, two threads' over one
thread's: 1 when the threads do not slow each other down (contending for
memory that both change, say), whatever else takes the processors.
"""

import argparse
import datetime
import json
import os
import shlex
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
THREAD_COUNTS = (1, 2)


def job(colours, start):
    from vantel.color.color import Color

    start.wait()
    total = 0
    for index in range(colours):
        for channel in Color(index, 7, index >> 8):
            total += channel
    return total


def timed_job(colours, start, processor_times):
    began = time.thread_time()
    job(colours, start)
    processor_times.append(time.thread_time() - began)


def throughput(threads, colours):
    """Colours built and iterated per second by `threads` threads at once,
    and the processor time the threads spent per colour."""
    start = threading.Barrier(threads + 1)
    processor_times = []
    running = [
        threading.Thread(target=timed_job, args=(colours, start, processor_times))
        for _ in range(threads)
    ]
    for thread in running:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in running:
        thread.join()
    return threads * colours / (time.perf_counter() - began), sum(processor_times) / (
        threads * colours
    )


def worker(colours, first):
    import vantel.color.color  # noqa: F401  imported before the timing, and before the GIL check

    order = THREAD_COUNTS if first == 1 else THREAD_COUNTS[::-1]
    measured = {threads: throughput(threads, colours) for threads in order}
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(
        json.dumps(
            {
                "gil": gil,
                "version": sys.version.split()[0],
                "rates": {str(threads): rate for threads, (rate, _) in measured.items()},
                "processor": {str(threads): seconds for threads, (_, seconds) in measured.items()},
            }
        )
    )


def run_worker(command, colours, first):
    result = subprocess.run(
        [*shlex.split(command), "benchmarks/threads.py", "--worker", str(colours), str(first)],
        cwd=REPO,
        capture_output=True,
        text=True,
    )
    if result.returncode != 0:
        print(
            f"threads: {command!r} failed (exit {result.returncode}):\n{result.stderr[-2000:]}",
            file=sys.stderr,
        )
        return {"failed": result.returncode}
    return json.loads(result.stdout.splitlines()[-1])


def measure(runs, rounds, colours):
    """Per --run: its last worker report and, per thread count, the rounds'
    (scaling, relative, processor time) ratios.  A run that fails once is not
    run again."""
    reports = {}
    ratios = {label: {threads: [] for threads in THREAD_COUNTS} for label, _ in runs}
    for round_number in range(rounds):
        # The runs take turns at going first, and at timing one thread first.
        shift = round_number % len(runs)
        order = [
            run for run in runs[shift:] + runs[:shift] if "failed" not in reports.get(run[0], {})
        ]
        results = {
            label: run_worker(command, colours, 1 + round_number % 2) for label, command in order
        }
        reports.update(results)
        if "failed" in reports[runs[0][0]]:
            sys.exit(f"threads: the reference run, {runs[0][0]}, failed")
        results = {label: result for label, result in results.items() if "failed" not in result}
        reference = results[runs[0][0]]["rates"]["1"]
        for label, result in results.items():
            rates, processor = result["rates"], result["processor"]
            for threads in THREAD_COUNTS:
                ratios[label][threads].append(
                    (
                        rates[str(threads)] / rates["1"],
                        rates[str(threads)] / reference,
                        processor[str(threads)] / processor["1"],
                    )
                )
        print(
            f"round {round_number + 1}/{rounds}: "
            + "; ".join(
                f"{label} "
                + ", ".join(
                    f"{results[label]['rates'][str(threads)] / 1e6:.2f}"
                    for threads in THREAD_COUNTS
                )
                for label, _ in runs
                if label in results
            )
            + " M colours/s with 1, 2 threads",
            flush=True,
        )
    return reports, ratios


def table(runs, reports, ratios):
    reference = runs[0][0]
    header = (
        "interpreter",
        "GIL after import",
        *(
            f"{threads} thread{'s' * (threads > 1)}, over {reference}, 1 thread"
            for threads in THREAD_COUNTS
        ),
        "2 threads over 1 thread",
        "processor time per colour, 2 threads over 1",
    )
    rows = []
    for label, _ in runs:
        if "failed" in reports[label]:
            rows.append((label, "", *[f"failed (exit {reports[label]['failed']})"] * 4))
            continue
        medians = {
            threads: [
                statistics.median(column) for column in zip(*ratios[label][threads], strict=False)
            ]
            for threads in THREAD_COUNTS
        }
        rows.append(
            (
                label,
                "on" if reports[label]["gil"] else "off",
                *(f"{medians[threads][1]:.2f}" for threads in THREAD_COUNTS),
                f"{medians[2][0]:.2f}",
                f"{medians[2][2]:.2f}",
            )
        )
    return header, rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--run",
        action="append",
        metavar="LABEL=COMMAND",
        default=[],
        help="an interpreter to measure; the first is the reference",
    )
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--colours", type=int, default=1_000_000, help="colours per thread and run")
    parser.add_argument("--markdown", metavar="FILE", help="also write the table for the manual")
    parser.add_argument("--worker", nargs=2, type=int, help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.worker:
        worker(*arguments.worker)
        return
    if not arguments.run:
        parser.error("name at least one --run LABEL=COMMAND")
    runs = [tuple(run.split("=", 1)) for run in arguments.run]

    # Other processes take the second core: the figures of a busy machine say so.
    load = os.getloadavg()[0]
    print(
        f"threads: {arguments.rounds} rounds of {arguments.colours:,} colours per thread and run; "
        f"load average {load:.1f}"
    )
    reports, ratios = measure(runs, arguments.rounds, arguments.colours)
    header, rows = table(runs, reports, ratios)
    sys.path.insert(0, str(REPO / "scripts"))
    import figures

    text = figures.markdown_table(header, rows)
    print(text, end="")
    if arguments.markdown:
        machine = f"{figures.cpu_model()}, {os.cpu_count()} CPUs"
        versions = ", ".join(
            f"{label}: CPython {reports[label]['version']}"
            for label, _ in runs
            if "version" in reports[label]
        )
        description = (
            f"Medians of {arguments.rounds} rounds on {datetime.date.today().isoformat()}: "
            f"{machine}, load average {load:.1f} before the run; {versions}; "
            f"{arguments.colours:,} colours per thread and run."
        )
        figures.write_figures(arguments.markdown, description, [("", text)])
    if any("failed" in report for report in reports.values()):
        sys.exit(1)


if __name__ == "__main__":
    main()
