# /// script
# dependencies = ["nox>=2025.5.1"]
# ///
"""The project's checks, one nox session each: ``nox -l`` lists them.

Every session builds the checkout and installs it into a virtual environment
of its own under .nox/ (``nox -r`` reuses them), never a vantel-color from a
package index, and the tests import that installed package, never src/.
The interpreter is the one scripts/lib.sh finds: $PYTHON if set, else the
oldest supported CPython on PATH, in /usr/bin or in pyenv, 3.13 first (the
full test command and the recorded figures are 3.13's, and the oldest
headers catch use of a newer API).  Tests are chosen by their pytest markers
(pyproject.toml), never by file.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

import nox
from nox.command import CommandFailed

nox.needs_version = ">=2025.5.1"

ROOT = Path(__file__).resolve().parent
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
# The classifiers' versions; newer nox adds the free-threaded ones, which
# have an interpreter and sessions of their own here.
SUPPORTED_PYTHONS = [
    version for version in nox.project.python_versions(PYPROJECT) if not version.endswith("t")
]

nox.options.default_venv_backend = "venv"
# Only the machine's own interpreters: a session never downloads one, and
# one that is missing fails instead of being skipped.
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["tests"]


def from_lib_sh(function: str, *args: str) -> str | None:
    """What scripts/lib.sh's `function` prints, or None where it fails
    (having said why on stderr)."""
    result = subprocess.run(
        ["bash", "-c", 'source scripts/lib.sh && "$@"', "lib.sh", function, *args],
        cwd=ROOT,
        stdout=subprocess.PIPE,
        text=True,
    )
    return result.stdout.strip() if result.returncode == 0 else None


def free_threaded_interpreter(*options):
    """The path of scripts/free_threaded_python.sh's interpreter; with
    --no-build, whether it is built or not (the session free_threaded_python
    builds it)."""
    return subprocess.run(
        ["bash", "scripts/free_threaded_python.sh", *options],
        cwd=ROOT,
        stdout=subprocess.PIPE,
        text=True,
        check=True,
    ).stdout.strip()


def find_python() -> str:
    """The interpreter to build and test with, as scripts/lib.sh finds it."""
    if python := from_lib_sh("find_python"):
        return python
    if os.environ.get("PYTHON"):
        sys.exit(1)  # lib.sh has said that it is no supported Python
    # Named so that nox, which then finds none, says which it looked for.
    return f"python{SUPPORTED_PYTHONS[0]}"


PYTHON = find_python()
FREE_THREADED = free_threaded_interpreter("--no-build")


def install_for_tests(session: nox.Session, *pip_args):
    """Installs the dependency group "test", then the package with the test
    suite's native builds.  The group comes first: the build runs the
    environment's Cython for the Cython consumer."""
    session.install(*nox.project.dependency_groups(PYPROJECT, "test"))
    session.install(
        "-C",
        "cmake.define.VANTEL_COLOR_TEST_BUILDS=ON",
        "-C",
        f"cmake.define.VANTEL_COLOR_CYTHON={session.bin}/cython",
        *pip_args,
        ".",
    )


def install_instrumented(session: nox.Session, flags, build_dir):
    """install_for_tests, compiled with the extra `flags` in build/`build_dir`,
    so that the CMake cache of the ordinary build never picks up those flags,
    nor this build loses them."""
    install_for_tests(
        session,
        "-C",
        f"cmake.define.VANTEL_COLOR_EXTRA_FLAGS={flags}",
        "-C",
        f"build-dir=build/{build_dir}/{{wheel_tag}}",
    )


def run_status(session: nox.Session, *args, **kwargs):
    """session.run that returns the exit status instead of failing the
    session, so that a run's reports are read whatever the tests did."""
    try:
        session.run(*args, **kwargs)
    except CommandFailed as failure:
        return failure.return_code or 1
    return 0


def pytest_status(session: nox.Session, *args: str, env: dict[str, str] | None = None) -> int:
    """run_status of the suite (or of the part `args` choose), quietly."""
    return run_status(
        session, "python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *args, env=env
    )


def output(session: nox.Session, *args: str) -> str:
    """What a command run in the session prints, stripped."""
    return str(session.run(*args, silent=True)).strip()


def installed_module(session: nox.Session):
    """The path of the installed extension module."""
    return output(
        session,
        "python",
        "-c",
        "import glob, sysconfig\n"
        "print(*glob.glob(sysconfig.get_paths()['platlib'] + '/vantel/color/color.*.so'))",
    )


def require_linked(session: nox.Session, module, *runtimes):
    # ldd's output is read whole, never through a pipe that stops early.
    linked = subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout
    for runtime in runtimes:
        if runtime not in linked:
            session.error(f"{module} is not linked against {runtime}")


def sanitizer_runtime(session: nox.Session, name):
    """The real path of g++'s sanitizer runtime `name`, which an
    uninstrumented interpreter must preload ahead of everything else."""
    runtime = subprocess.run(
        ["g++", f"-print-file-name={name}"], capture_output=True, text=True, check=True
    ).stdout.strip()
    if not os.path.exists(runtime):
        session.error(f"g++ has no sanitizer runtime {name}")
    return os.path.realpath(runtime)


def fresh_dir(path):
    """Makes `path` (relative to the checkout) an empty directory and returns
    it, absolute."""
    path = ROOT / path
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


@nox.session(python=PYTHON)
def tests(session: nox.Session):
    """The test suite against the normal build, compiled with warnings as errors."""
    install_for_tests(session, "-C", "cmake.define.VANTEL_COLOR_WERROR=ON")
    session.run("python", "-m", "pytest", "-q", *session.posargs)


@nox.session(python=PYTHON)
def lint(session: nox.Session) -> None:
    """ruff (check and format), shellcheck and mypy, as pyproject.toml and .shellcheckrc set them."""
    session.install(*nox.project.dependency_groups(PYPROJECT, "lint"))
    session.run("ruff", "check", ".")
    session.run("ruff", "format", "--check", ".")
    shell_files = [
        *ROOT.glob("scripts/*.sh"),
        *ROOT.glob("benchmarks/*.sh"),
        *ROOT.glob("examples/*/*.sh"),
        ROOT / ".ci/run",
    ]
    session.run("shellcheck", *(str(path.relative_to(ROOT)) for path in shell_files))
    session.run("mypy")


@nox.session(python=PYTHON)
def demo(session: nox.Session):
    """Installs the package and runs examples/demo.py."""
    session.install(".")
    session.chdir(ROOT / "examples")  # away from the source tree
    session.run("python", "demo.py")


@nox.session(python=PYTHON)
def api(session: nox.Session):
    """What dependent code relies on: wheel contents, stubs, mypy --strict, the manual (-W), the examples."""
    work = Path(tempfile.mkdtemp(prefix="vantel-api-"))
    try:
        # The examples first: scripts/check_api.sh builds the wheel they and
        # the checks below use, and builds and runs each example against it.
        session.run(
            "bash",
            "scripts/check_api.sh",
            str(work),
            str(Path(session.bin) / "python"),
            external=True,
            env={"PYTHON": PYTHON},
        )
        wheel = next((work / "wheel").glob("vantel_color-*.whl"))
        check_wheel_contents(session, wheel, python_config(session, "EXT_SUFFIX"))
        session.install("--no-deps", "--force-reinstall", str(wheel))
        session.install(
            *nox.project.dependency_groups(PYPROJECT, "test"),
            *nox.project.dependency_groups(PYPROJECT, "docs"),
        )
        # From here on, away from the source tree: only the installed package counts.
        session.chdir(work)
        session.run("python", "-m", "mypy.stubtest", "vantel.color.color")
        usage = str(ROOT / "tests" / "typing" / "usage.py")
        session.run(
            "python",
            "-m",
            "mypy",
            "--strict",
            "--warn-unreachable",
            "--cache-dir",
            str(work / "mypy-cache"),
            usage,
        )
        session.run("python", usage)
        # The manual builds without a warning; every public name of the package
        # and of its headers has an entry in the API reference, and the
        # changelog's newest entry is this version.
        sphinx = ["python", "-m", "sphinx", "-W", "--keep-going", "--nitpicky", "--quiet"]
        session.run(*sphinx, "-b", "html", str(ROOT / "docs"), str(work / "html"))
        session.run(
            "python",
            str(ROOT / "tests" / "check_api_reference.py"),
            str(work / "html" / "objects.inv"),
        )
    finally:
        session.chdir(ROOT)
        shutil.rmtree(work, ignore_errors=True)


def python_config(session: nox.Session, name):
    return output(
        session, "python", "-c", f"import sysconfig; print(sysconfig.get_config_var({name!r}))"
    )


def check_wheel_contents(session: nox.Session, wheel, ext_suffix):
    """Exactly these files of the package, so that neither a missing stub nor
    a leaked .cpp or internal header goes unnoticed."""
    expected = {
        "vantel/__init__.py",
        "vantel/py.typed",
        "vantel/color/__init__.py",
        "vantel/color/color" + ext_suffix,
        "vantel/color/color.h",
        "vantel/color/color_raylib.h",
        "vantel/color/color.pxd",
        "vantel/color/color.pyi",
        "vantel/color/py.typed",
    }
    with zipfile.ZipFile(wheel) as archive:
        found = {name for name in archive.namelist() if name.startswith("vantel/")}
    if found != expected:
        session.error(
            f"{wheel}:\n  missing: {sorted(expected - found)}\n"
            f"  unexpected: {sorted(found - expected)}"
        )
    session.log(f"wheel contents ok: {' '.join(sorted(found))}")


@nox.session(python=PYTHON)
def release(session: nox.Session):
    """The sdist and the manylinux wheels, install-tested, into dist/ (or $DIST); versions as arguments or $RELEASE_PYTHONS; one this machine lacks is built in a Debian sid root (root and debootstrap)."""
    # The versions default to every supported one and the free-threaded 3.14.
    # Each wheel is built with this machine's interpreter of its version, else
    # with Debian's inside the Debian sid root of scripts/debian_sid.sh (which
    # needs root); 3.14t with scripts/free_threaded_python.sh's.
    versions = (
        session.posargs
        or os.environ.get("RELEASE_PYTHONS", " ".join((*SUPPORTED_PYTHONS, "3.14t"))).split()
    )
    session.install("build", "twine")
    dist = Path(os.environ.get("DIST", "dist")).resolve()
    # Inside the checkout, where the Debian root sees it too.
    staging = fresh_dir("build/release/staging")
    session.run("python", "-m", "build", "--sdist", "--outdir", str(staging), ".")
    sdist = next(staging.glob("vantel_color-*.tar.gz"))
    session.run("python", "scripts/check_metadata.py", str(sdist))

    wheel_command = [
        "bash",
        "scripts/release_wheel.sh",
        str(sdist.relative_to(ROOT)),
        str((staging / "wheels").relative_to(ROOT)),
    ]
    for version in versions:
        if version == "3.14t":
            session.run(*wheel_command, external=True, env={"PYTHON": free_threaded_interpreter()})
        elif python := from_lib_sh("find_python_version", version):
            session.run(*wheel_command, external=True, env={"PYTHON": python})
        else:
            session.run(
                "bash",
                "scripts/debian_sid.sh",
                "env",
                f"PYTHON=python{version}",
                *wheel_command,
                external=True,
            )

    dist.mkdir(parents=True, exist_ok=True)
    for old in dist.glob("vantel_color-*"):
        old.unlink()
    artifacts = [sdist, *(staging / "wheels").glob("vantel_color-*.whl")]
    # What the package index would refuse or render badly (the README).
    session.run("twine", "check", "--strict", *map(str, artifacts))
    for artifact in artifacts:
        shutil.copy(artifact, dist)
    session.log(
        "ready for upload:\n" + "\n".join(str(path) for path in sorted(dist.glob("vantel_color-*")))
    )


# Every status but success: a probe or a run that aborts.
FAILURE_CODES = [code for code in range(-64, 256) if code != 0]


@nox.session(python=PYTHON)
def sanitize(session: nox.Session):
    """The suite against a build under AddressSanitizer and UBSan; fails on any sanitizer report."""
    # The interpreter is not instrumented, so the ASan runtime is preloaded
    # (it must be the first library in the process), and PYTHONMALLOC=malloc
    # sends every object through the allocator ASan watches, so that a
    # reference released too early is a heap-use-after-free report rather
    # than a silent reuse of a pymalloc block.  Leak detection is off: the
    # interpreter never frees much of its heap at exit, through the same
    # frames as the module's blocks, so no suppression could tell them
    # apart; tests/test_leaks.py hunts leaks instead.  No other suppression:
    # the run must produce no report at all.  The allocation-failure sweep
    # fails every VANTEL_FAULT_STRIDE-th allocation here (default 5).
    flags = (
        "-fsanitize=address,undefined -fno-omit-frame-pointer "
        "-fno-sanitize-recover=undefined -g -O1"
    )
    runtime = sanitizer_runtime(session, "libasan.so")
    session.log(f"building the module with {flags}")
    install_instrumented(session, flags, "sanitize")
    # Reports go to files named after each process, so that a report from a
    # subprocess whose failure a test expects is not lost.
    report_dir = fresh_dir("build/sanitize/reports")

    def sanitized(directory):
        preload = os.environ.get("LD_PRELOAD")
        return {
            "LD_PRELOAD": runtime + (f" {preload}" if preload else ""),
            "PYTHONMALLOC": "malloc",
            "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1:abort_on_error=1:"
            "strict_string_checks=1:detect_stack_use_after_return=1:"
            f"check_initialization_order=1:log_path={directory}/asan",
            "UBSAN_OPTIONS": "halt_on_error=1:abort_on_error=1:print_stacktrace=1:"
            f"log_path={directory}/ubsan",
            "VANTEL_FAULT_STRIDE": os.environ.get("VANTEL_FAULT_STRIDE", "5"),
        }

    # Self-checks: the module carries both sanitizers, and a heap overflow in
    # the preloaded process does end up as a report file.
    require_linked(session, installed_module(session), "libasan", "libubsan")
    probe_dir = report_dir / "probe"
    probe_dir.mkdir()
    probe, env = ("python", "scripts/asan_probe.py"), sanitized(probe_dir)
    # Non-zero only where the probe exited normally instead of aborting.
    exited = run_status(session, *probe, env=env, silent=True, success_codes=FAILURE_CODES)
    if exited or not any(probe_dir.iterdir()):
        session.error("AddressSanitizer did not report a deliberate heap overflow")
    shutil.rmtree(probe_dir)

    status = pytest_status(session, *session.posargs, env=sanitized(report_dir))
    reports = sorted(path for path in report_dir.rglob("*") if path.is_file())
    if reports:
        for report in reports:
            print(f"=== {report}\n{report.read_text(errors='replace')}", file=sys.stderr)
        session.error("sanitizer reports were written (above)")
    if status:
        session.error(f"the test suite failed under the sanitizers (exit {status})")
    session.log("no AddressSanitizer or UndefinedBehaviorSanitizer report")


@nox.session(python=PYTHON)
def coverage(session: nox.Session):
    """Line and branch coverage of src/native over the whole suite (with $COVERAGE_MARKDOWN, the manual's table)."""
    # The test suite's native builds are instrumented too, so their copies of
    # the module's sources count; every process of the run (pytest, the fresh
    # interpreters and forked children the tests start) adds its counts when
    # it exits, and gcovr merges every build's counts of each source file.
    # Fails only if the tests fail: the figures are for reading.
    session.install("gcovr>=8")
    flags = "--coverage -O0 -g"
    session.log(f"building the module with {flags}")
    install_instrumented(session, flags, "coverage/module")
    # Counts of an earlier run would add to this one's.
    for counts in (ROOT / "build" / "coverage").rglob("*.gcda"):
        counts.unlink()
    tmp_dir = fresh_dir("build/coverage/tmp")
    status = pytest_status(session, f"--basetemp={tmp_dir}", *session.posargs)

    print("== coverage of src/native (the installed build and the test-only builds)")
    # What is counted, and how, is set in gcovr.cfg.
    summary = "build/coverage/summary.json"
    gcovr_outputs = ["--txt", "-", "--json-summary", summary]
    session.run("python", "-m", "gcovr", *gcovr_outputs, "build/coverage/module", str(tmp_dir))
    if markdown := os.environ.get("COVERAGE_MARKDOWN"):
        compiler = (
            "g++ "
            + subprocess.run(
                ["g++", "-dumpfullversion", "-dumpversion"],
                capture_output=True,
                text=True,
                check=True,
            ).stdout.strip()
        )
        gcovr = output(session, "python", "-m", "gcovr", "--version").splitlines()[0]
        session.run(
            "python",
            "scripts/figures.py",
            "coverage",
            summary,
            markdown,
            compiler,
            gcovr,
        )
        session.log(f"figures written to {markdown}")
    if status:
        session.error(f"the test suite failed (exit {status})")


@nox.session(python=PYTHON)
def valgrind(session: nox.Session):
    """A representative part of the suite under valgrind's memcheck (minutes; not in CI); arguments choose other tests."""
    # Every Python allocation goes to the C allocator (PYTHONMALLOC=malloc),
    # so that memcheck sees each object as its own block.  Leak checking is
    # off for the reason the sanitize session gives; subprocesses the tests
    # start run natively.
    if not shutil.which("valgrind"):
        session.error("valgrind is not installed (apt-get install valgrind)")
    session.log("building the module with debug information")
    install_instrumented(session, "-g -O1 -fno-omit-frame-pointer", "valgrind")
    # Every operation of the module and every error path: without the tests
    # that mostly start fresh interpreters, sweep, or check the build, and of
    # the slow ones only the representative ones.
    selection = session.posargs or [
        "-m",
        "representative"
        " or not (slow or sweep or packaging or binutils or benchmark or interpreters)",
    ]
    log = ROOT / "build" / "valgrind" / "memcheck.log"
    log.parent.mkdir(parents=True, exist_ok=True)
    status = run_status(
        session,
        "valgrind",
        "--tool=memcheck",
        "--error-exitcode=99",
        "--leak-check=no",
        "--track-origins=yes",
        "--num-callers=30",
        f"--suppressions={ROOT / 'scripts/valgrind.supp'}",
        f"--log-file={log}",
        str(Path(session.bin) / "python"),
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        "--hypothesis-profile=ci",
        *selection,
        env={"PYTHONMALLOC": "malloc"},
        external=True,
    )
    summaries = [line for line in log.read_text().splitlines() if "ERROR SUMMARY" in line]
    session.log(f"memcheck log: {log}; {summaries[-1] if summaries else 'no summary'}")
    if status == 99:
        print(log.read_text(), file=sys.stderr)
        session.error("memcheck reported errors (above)")
    if status:
        session.error(f"the tests failed under memcheck (exit {status})")


@nox.session(venv_backend="none")
def free_threaded_python(session: nox.Session):
    """Builds the free-threaded CPython 3.14 (3.14t) once into ~/.cache/vantel-color, from CPython's source tarball beside the checkout, in ../shared/cpython/ (or $CPYTHON_TARBALL)."""
    session.run("bash", "scripts/free_threaded_python.sh", external=True)


@nox.session(python=FREE_THREADED, requires=["free_threaded_python"])
@nox.parametrize("gil", ["0", "1"], ids=["without_gil", "with_gil"])
def free_threaded(session: nox.Session, gil):
    """The suite on the free-threaded 3.14t: without_gil with PYTHON_GIL=0, with_gil with PYTHON_GIL=1."""
    session.log(output(session, "python", "-VV"))
    install_for_tests(session)
    # -ra keeps pytest's summary of passes and skips.
    session.run("python", "-m", "pytest", "-q", "-ra", *session.posargs, env={"PYTHON_GIL": gil})


@nox.session(python=FREE_THREADED, requires=["free_threaded_python"])
def thread_sanitizer(session: nox.Session):
    """The suite (but sweep, slow, packaging, benchmark) without the GIL on a 3.14t built with ThreadSanitizer."""
    # As CPython checks its own free threading, the module and the tests'
    # native builds instrumented too, so that a race between the module's
    # accesses and the interpreter's is seen from both sides.  The left-out
    # tests repeat, in one thread, paths the others take, or check what was
    # built (against installed headers, which a build tree has not); the
    # instrumented interpreter runs Python some forty times slower.
    tsan_python = free_threaded_interpreter("--thread-sanitizer")
    describe = (
        'import sys, sysconfig\nprint("%d.%d.%d%s" % (*sys.version_info[:3], sys.abiflags),'
        ' sysconfig.get_config_var("Py_GIL_DISABLED") or 0,'
        ' sysconfig.get_config_var("srcdir"), sysconfig.get_config_var("CONFIG_ARGS"))'
    )
    version, gil_disabled, source_dir, config_args = subprocess.run(
        [tsan_python, "-c", describe], capture_output=True, text=True, check=True
    ).stdout.split(maxsplit=3)
    if gil_disabled != "1" or "--with-thread-sanitizer" not in config_args:
        session.error(f"{tsan_python} is not a free-threaded CPython built --with-thread-sanitizer")
    installer_version = output(
        session,
        "python",
        "-c",
        'import sys; print("%d.%d.%d%s" % (*sys.version_info[:3], sys.abiflags))',
    )
    if installer_version != version:
        session.error(
            f"{FREE_THREADED} is CPython {installer_version}, not {version} like {tsan_python}"
        )

    # pip and the build run on the uninstrumented interpreter of the same
    # version, then the environment is handed over to the instrumented one
    # (venv --upgrade): one version, one ABI, one site-packages.
    flags = "-fsanitize=thread -fno-omit-frame-pointer -g -O1"
    session.log(f"building the module with {flags}")
    install_instrumented(session, flags, "tsan")
    module = installed_module(session)
    venv = Path(session.virtualenv.location)
    # The interpreter's links are made afresh: --upgrade keeps those it finds.
    for link in (venv / "bin").iterdir():
        if link.is_symlink():
            link.unlink()
    session.run(tsan_python, "-m", "venv", "--upgrade", "--without-pip", str(venv), external=True)
    require_linked(session, module, "libtsan")

    # CPython's own suppressions for its free-threaded build, then the
    # project's, each entry with its reason.
    report_dir = fresh_dir("build/tsan/reports")
    suppressions = report_dir / "suppressions.txt"
    suppressions.write_text(
        Path(source_dir, "Tools/tsan/suppressions_free_threading.txt").read_text()
        + (ROOT / "scripts" / "thread_sanitizer.supp").read_text()
    )
    (report_dir / "reports").mkdir()
    # Reports are read from their files below; exitcode=0 keeps them from
    # changing the exit status of the processes the tests start and check.
    markers = "not sweep and not slow and not packaging and not benchmark"
    selection = session.posargs or ["tests", "-m", markers]
    status = pytest_status(
        session,
        "-ra",
        *selection,
        env={
            "PYTHON_GIL": "0",
            "TSAN_OPTIONS": "halt_on_error=0:exitcode=0:second_deadlock_stack=1:"
            f"suppressions={suppressions}:log_path={report_dir}/reports/tsan",
        },
    )
    # The installed library is stripped: the module's frames are named from
    # the unstripped one in the build directory.
    unstripped = [str(path) for path in sorted(ROOT.glob("build/tsan/*/color.*.so"))[:1]]
    report_args = [str(report_dir / "reports"), *unstripped]
    if run_status(session, PYTHON, "scripts/tsan_reports.py", *report_args, external=True):
        session.error("ThreadSanitizer reported races in the module (above)")
    if status:
        session.error(f"the tests failed under ThreadSanitizer (exit {status})")


@nox.session(python=PYTHON)
def benchmarks(session: nox.Session):
    """benchmarks/bench.py against the installed package and the test builds; arguments go to it (--quick, --instructions)."""
    install_for_tests(session)
    session.run("python", "benchmarks/bench.py", *session.posargs)


@nox.session(venv_backend="none")
def portability(session: nox.Session) -> None:
    """The Windows build with mingw-w64, the public headers for Windows, clang -Wpedantic, CMake's macOS link line."""
    session.run(PYTHON, "scripts/portability.py", external=True)


if __name__ == "__main__":
    nox.main()
