# /// script
# dependencies = ["nox>=2026.10.20"]
# ///
"""The project's checks, one nox session each: ``nox -l`` lists them.

Every session builds the checkout and installs it into a virtual environment
of its own under .nox/ (``nox -r`` reuses them), never a vantel-color from a
package index; the tests import that installed package, never src/, and are
chosen by their pytest markers (pyproject.toml).  The interpreter is $PYTHON
(a name or a path), else the oldest supported version, as nox finds it: the
full test command and the recorded figures are 3.13's, and the oldest
headers catch use of a newer API.
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import nox
from nox.command import CommandFailed
from python_discovery import get_interpreter

nox.needs_version = ">=2026.10.20"  # finds interpreters with python-discovery
nox.options.default_venv_backend = "venv"
# Only the machine's own interpreters: a session never downloads one, and
# fails where there is none instead of being skipped.
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["tests"]

ROOT = Path(__file__).resolve().parent
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
# The classifiers' versions; the free-threaded one has sessions of its own.
SUPPORTED_PYTHONS = [v for v in nox.project.python_versions(PYPROJECT) if not v.endswith("t")]
PYTHON = os.environ.get("PYTHON") or SUPPORTED_PYTHONS[0]


def free_threaded_interpreter(*options: str) -> str:
    """The path of scripts/free_threaded_python.sh's interpreter, which it
    builds first unless given --no-build."""
    script = ["bash", "scripts/free_threaded_python.sh", *options]
    return subprocess.check_output(script, cwd=ROOT, text=True).strip()


FREE_THREADED = free_threaded_interpreter("--no-build")


def groups(*names: str) -> list[str]:
    return [req for name in names for req in nox.project.dependency_groups(PYPROJECT, name)]


def install_for_tests(session: nox.Session, *pip_args: str) -> None:
    """The group "test", then the package with the test suite's native
    builds; the build runs the group's Cython for the Cython consumer."""
    session.install(*groups("test"))
    cython = f"cmake.define.VANTEL_COLOR_CYTHON={session.bin}/cython"
    session.install("-C", "cmake.define.VANTEL_COLOR_TEST_BUILDS=ON", "-C", cython, *pip_args, ".")


def install_instrumented(session: nox.Session, flags: str, build_dir: str) -> None:
    """install_for_tests compiled with `flags`, in a build directory of its
    own, whose CMake cache never mixes with the ordinary build's."""
    session.log(f"building the module with {flags}")
    install_for_tests(
        session,
        *("-C", f"cmake.define.VANTEL_COLOR_EXTRA_FLAGS={flags}"),
        *("-C", f"build-dir=build/{build_dir}/{{wheel_tag}}"),
    )


def run_status(session: nox.Session, *args: str, **kwargs) -> int:
    """session.run that returns the exit status instead of failing, so that
    a run's reports are read whatever the tests did."""
    try:
        session.run(*args, **kwargs)
    except CommandFailed as failure:
        return failure.return_code or 1
    return 0


PYTEST = ("-m", "pytest", "-q", "-p", "no:cacheprovider")


def pytest_status(session: nox.Session, *args: str, env: dict[str, str] | None = None) -> int:
    return run_status(session, "python", *PYTEST, *args, env=env)


def require_linked(session: nox.Session, *runtimes: str) -> None:
    """Fails unless the installed module links each sanitizer runtime."""
    (module,) = Path(session.virtualenv.location).glob("lib/*/*/vantel/color/color.*.so")
    linked = subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout
    for runtime in runtimes:
        if runtime not in linked:
            session.error(f"{module} is not linked against {runtime}")


def fresh_dir(path: str) -> Path:
    """`path` (under the checkout) as an empty directory."""
    directory = ROOT / path
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    return directory


@nox.session(python=PYTHON)
def tests(session: nox.Session) -> None:
    """The test suite against the normal build, compiled with warnings as errors."""
    install_for_tests(session, "-C", "cmake.define.VANTEL_COLOR_WERROR=ON")
    session.run("python", "-m", "pytest", "-q", *session.posargs)


@nox.session(python=PYTHON)
def lint(session: nox.Session) -> None:
    """ruff (check and format), shellcheck and mypy, as pyproject.toml and .shellcheckrc set them."""
    session.install(*groups("lint"))
    session.run("ruff", "check", ".")
    session.run("ruff", "format", "--check", ".")
    shell_files = subprocess.check_output(["git", "ls-files", "*.sh"], cwd=ROOT, text=True).split()
    session.run("shellcheck", ".ci/run", *shell_files)
    session.run("mypy")


@nox.session(python=PYTHON)
def demo(session: nox.Session) -> None:
    """Installs the package and runs examples/demo.py."""
    session.install(".")
    with session.chdir(ROOT / "examples"):  # away from the source tree
        session.run("python", "demo.py")


@nox.session(python=PYTHON)
def api(session: nox.Session) -> None:
    """What dependent code relies on: the examples, the stubs, mypy --strict, the manual (-W)."""
    with tempfile.TemporaryDirectory(prefix="vantel-api-") as work:
        # Builds the wheel, then builds and runs each example against it.
        python = f"{session.bin}/python"
        check_api = ("bash", "scripts/check_api.sh", work, python)
        session.run(*check_api, env={"PYTHON": python}, external=True)
        (wheel,) = Path(work, "wheel").glob("vantel_color-*.whl")
        session.install("--no-deps", "--force-reinstall", str(wheel))
        session.install(*groups("test", "docs"))
        usage = str(ROOT / "tests/typing/usage.py")
        with session.chdir(work):  # away from the source tree: only the installed package counts
            session.run("python", "-m", "mypy.stubtest", "vantel.color.color")
            session.run("python", "-m", "mypy", "--strict", "--warn-unreachable", usage)
            session.run("python", usage)
            # The manual builds without a warning, and its API reference lists
            # every public name of the package and of its headers.
            sphinx = ("python", "-m", "sphinx", "-W", "--keep-going", "--nitpicky", "--quiet")
            session.run(*sphinx, "-b", "html", str(ROOT / "docs"), "html")
            session.run("python", str(ROOT / "tests/check_api_reference.py"), "html/objects.inv")


@nox.session(python=PYTHON)
def release(session: nox.Session) -> None:
    """The sdist and the manylinux wheels, install-tested, into dist/ (or $DIST); versions as arguments or $RELEASE_PYTHONS; one this machine lacks is built in a Debian sid root (root and debootstrap)."""
    # Each wheel is built by scripts/release_wheel.sh with an interpreter of
    # its version: this machine's, 3.14t's from scripts/free_threaded_python.sh,
    # else Debian's inside the root of scripts/debian_sid.sh.
    default_versions = " ".join((*SUPPORTED_PYTHONS, "3.14t"))
    versions = session.posargs or os.environ.get("RELEASE_PYTHONS", default_versions).split()
    session.install("build", "twine", "check-sdist", "check-wheel-contents")
    session.run("check-sdist")  # the sdist holds what git tracks, as configured in pyproject.toml
    # Inside the checkout, where the Debian root sees it.
    staging = fresh_dir("build/release/staging")
    session.run("python", "-m", "build", "--sdist", "--outdir", str(staging), ".")
    (sdist,) = staging.glob("vantel_color-*.tar.gz")
    session.run("python", "scripts/check_metadata.py", str(sdist))
    wheels = staging / "wheels"
    build_wheel = [
        "bash",
        "scripts/release_wheel.sh",
        *(str(p.relative_to(ROOT)) for p in (sdist, wheels)),
    ]
    for version in versions:
        if version == "3.14t":
            python = free_threaded_interpreter()
        elif found := get_interpreter(version):
            python = found.executable
        else:
            in_sid_root = ("bash", "scripts/debian_sid.sh", "env", f"PYTHON=python{version}")
            session.run(*in_sid_root, *build_wheel, external=True)
            continue
        session.run(*build_wheel, env={"PYTHON": python}, external=True)

    artifacts = [str(sdist), *map(str, wheels.glob("vantel_color-*.whl"))]
    # What the package index would refuse or render badly (the README), and
    # wheels whose files stray from src/vantel (pyproject.toml).
    session.run("twine", "check", "--strict", *artifacts)
    session.run("check-wheel-contents", *artifacts[1:])
    dist = Path(os.environ.get("DIST", "dist")).resolve()
    dist.mkdir(parents=True, exist_ok=True)
    for old in dist.glob("vantel_color-*"):
        old.unlink()
    for artifact in artifacts:
        shutil.copy(artifact, dist)
    session.log("ready for upload:\n" + "\n".join(map(str, sorted(dist.glob("vantel_color-*")))))


@nox.session(python=PYTHON)
def sanitize(session: nox.Session) -> None:
    """The suite against a build under AddressSanitizer and UBSan; fails on any sanitizer report."""
    # The interpreter is not instrumented: the ASan runtime is preloaded (it
    # must come first in the process), and PYTHONMALLOC=malloc sends every
    # object through the allocator ASan watches, so that a reference released
    # too early is a heap-use-after-free report, not a reused pymalloc block.
    # Leak detection is off: the interpreter leaves much of its heap at exit,
    # through the module's frames too, so no suppression could tell them
    # apart (tests/test_leaks.py hunts leaks instead).  No other suppression:
    # the run must produce no report at all.  The allocation-failure sweep
    # fails every VANTEL_FAULT_STRIDE-th allocation here (default 5).
    runtime = subprocess.check_output(["g++", "-print-file-name=libasan.so"], text=True).strip()
    if not os.path.isabs(runtime):
        session.error("g++ has no AddressSanitizer runtime (libasan.so)")
    flags = "-fsanitize=address,undefined -fno-sanitize-recover=undefined"
    install_instrumented(session, f"{flags} -fno-omit-frame-pointer -g -O1", "sanitize")
    require_linked(session, "libasan", "libubsan")

    # Reports go to files named after each process, so that a report from a
    # subprocess whose failure a test expects is not lost.
    def sanitized(reports: Path) -> dict[str, str]:
        preload = " ".join(filter(None, (os.path.realpath(runtime), os.environ.get("LD_PRELOAD"))))
        halt = "halt_on_error=1:abort_on_error=1"
        asan = "detect_leaks=0:strict_string_checks=1:detect_stack_use_after_return=1"
        return {
            "LD_PRELOAD": preload,
            "PYTHONMALLOC": "malloc",
            "ASAN_OPTIONS": f"{asan}:check_initialization_order=1:{halt}:log_path={reports}/asan",
            "UBSAN_OPTIONS": f"{halt}:print_stacktrace=1:log_path={reports}/ubsan",
            "VANTEL_FAULT_STRIDE": os.environ.get("VANTEL_FAULT_STRIDE", "5"),
        }

    # A deliberate heap overflow must abort the probe and leave a report.
    probe = fresh_dir("build/sanitize/probe")
    probe_run = ("python", "scripts/asan_probe.py")
    session.run(*probe_run, env=sanitized(probe), silent=True, success_codes=range(-64, 256))
    if not any(probe.iterdir()):
        session.error("AddressSanitizer did not report a deliberate heap overflow")

    reports = fresh_dir("build/sanitize/reports")
    status = pytest_status(session, *session.posargs, env=sanitized(reports))
    for report in sorted(reports.iterdir()):
        print(f"=== {report}\n{report.read_text(errors='replace')}", file=sys.stderr)
    if any(reports.iterdir()):
        session.error("sanitizer reports were written (above)")
    if status:
        session.error(f"the test suite failed under the sanitizers (exit {status})")
    session.log("no AddressSanitizer or UndefinedBehaviorSanitizer report")


@nox.session(python=PYTHON)
def coverage(session: nox.Session) -> None:
    """Line and branch coverage of src/native over the whole suite (with $COVERAGE_MARKDOWN, the manual's table)."""
    # The test suite's native builds are instrumented too, so their copies of
    # the module's sources count; every process of the run adds its counts
    # when it exits, and gcovr (gcovr.cfg) merges every build's counts of each
    # source file.  Fails only if the tests fail: the figures are for reading.
    session.install("gcovr>=8")
    install_instrumented(session, "--coverage -O0 -g", "coverage/module")
    for counts in (ROOT / "build/coverage").rglob("*.gcda"):  # an earlier run's would add up
        counts.unlink()
    tmp_dir = fresh_dir("build/coverage/tmp")
    status = pytest_status(session, f"--basetemp={tmp_dir}", *session.posargs)
    summary = "build/coverage/summary.json"
    gcovr = ("python", "-m", "gcovr")
    session.run(
        *gcovr, "--txt", "-", "--json-summary", summary, "build/coverage/module", str(tmp_dir)
    )
    if markdown := os.environ.get("COVERAGE_MARKDOWN"):
        compiler = "g++ " + subprocess.check_output(["g++", "-dumpfullversion"], text=True).strip()
        tool = str(session.run(*gcovr, "--version", silent=True)).splitlines()[0]
        session.run("python", "scripts/figures.py", "coverage", summary, markdown, compiler, tool)
    if status:
        session.error(f"the test suite failed (exit {status})")


@nox.session(python=PYTHON)
def valgrind(session: nox.Session) -> None:
    """A representative part of the suite under valgrind's memcheck (minutes; not in CI); arguments choose other tests."""
    # PYTHONMALLOC=malloc lets memcheck see each object as its own block.
    # Leak checking is off for the reason the sanitize session gives;
    # subprocesses the tests start run natively.
    install_instrumented(session, "-g -O1 -fno-omit-frame-pointer", "valgrind")
    # Every operation and error path, without the tests that mostly start
    # fresh interpreters, sweep, or check the build, and of the slow ones
    # only the representative ones.
    left_out = "slow or sweep or packaging or binutils or benchmark or interpreters"
    selection = session.posargs or ["-m", f"representative or not ({left_out})"]
    log = fresh_dir("build/valgrind") / "memcheck.log"
    memcheck = "--tool=memcheck --error-exitcode=99 --leak-check=no --track-origins=yes"
    status = run_status(
        session,
        *("valgrind", *memcheck.split(), "--num-callers=30", f"--log-file={log}"),
        f"--suppressions={ROOT / 'scripts/valgrind.supp'}",
        *(f"{session.bin}/python", *PYTEST, "--hypothesis-profile=ci", *selection),
        env={"PYTHONMALLOC": "malloc"},
        external=True,
    )
    if status == 99:
        print(log.read_text(), file=sys.stderr)
        session.error("memcheck reported errors (above)")
    if status:
        session.error(f"the tests failed under memcheck (exit {status}; {log})")
    session.log(f"memcheck found no error ({log})")


@nox.session(venv_backend="none")
def free_threaded_python(session: nox.Session) -> None:
    """Builds the free-threaded CPython 3.14 (3.14t) once into ~/.cache/vantel-color, from CPython's source tarball beside the checkout, in ../shared/cpython/ (or $CPYTHON_TARBALL)."""
    session.run("bash", "scripts/free_threaded_python.sh", external=True)


@nox.session(python=FREE_THREADED, requires=["free_threaded_python"])
@nox.parametrize("gil", ["0", "1"], ids=["without_gil", "with_gil"])
def free_threaded(session: nox.Session, gil: str) -> None:
    """The suite on the free-threaded 3.14t: without_gil with PYTHON_GIL=0, with_gil with PYTHON_GIL=1."""
    install_for_tests(session)
    session.run("python", "-m", "pytest", "-q", "-ra", *session.posargs, env={"PYTHON_GIL": gil})


@nox.session(python=FREE_THREADED, requires=["free_threaded_python"])
def thread_sanitizer(session: nox.Session) -> None:
    """The suite (but sweep, slow, packaging, benchmark) without the GIL on a 3.14t built with ThreadSanitizer."""
    # As CPython checks its own free threading, the module and the tests'
    # native builds are instrumented too, so that a race between the module's
    # accesses and the interpreter's is seen from both sides.  The left-out
    # tests repeat, in one thread, paths the others take, or check what was
    # built; the instrumented interpreter runs Python some forty times slower.
    tsan_python = free_threaded_interpreter("--thread-sanitizer")
    # The version and ABI flags, then the configuration variables named.
    describe = "import sys, sysconfig as c; print(sys.version_info[:3], sys.abiflags, *map(c.get_config_var, {}), sep='\\n')"
    *tsan_version, source_dir, config_args = subprocess.check_output(
        [tsan_python, "-c", describe.format(("srcdir", "CONFIG_ARGS"))], text=True
    ).splitlines()
    if "--with-thread-sanitizer" not in config_args:
        session.error(f"{tsan_python} is not built --with-thread-sanitizer")
    # pip and the build run on the uninstrumented interpreter, then the
    # environment is handed over to the instrumented one (venv --upgrade,
    # which keeps the interpreter's links it finds): one version, one ABI.
    installer_version = session.run("python", "-c", describe.format(()), silent=True)
    if str(installer_version).splitlines() != tsan_version:
        session.error(f"{FREE_THREADED} and {tsan_python} are not the same CPython")
    install_instrumented(session, "-fsanitize=thread -fno-omit-frame-pointer -g -O1", "tsan")
    venv = Path(session.virtualenv.location)
    for link in (venv / "bin").iterdir():
        if link.is_symlink():
            link.unlink()
    session.run(tsan_python, "-m", "venv", "--upgrade", "--without-pip", str(venv), external=True)
    require_linked(session, "libtsan")

    # CPython's own suppressions for its free-threaded build, then the
    # project's, each entry with its reason.  exitcode=0 keeps a report from
    # changing the exit status of processes the tests start and check; the
    # reports are read from their files instead.
    reports = fresh_dir("build/tsan/reports")
    suppressions = reports.parent / "suppressions.txt"
    ours = (ROOT / "scripts/thread_sanitizer.supp").read_text()
    cpython = Path(source_dir, "Tools/tsan/suppressions_free_threading.txt").read_text()
    suppressions.write_text(cpython + ours)
    options = f"halt_on_error=0:exitcode=0:second_deadlock_stack=1:suppressions={suppressions}"
    left_out = "not sweep and not slow and not packaging and not benchmark"
    selection = session.posargs or ["tests", "-m", left_out]
    env = {"PYTHON_GIL": "0", "TSAN_OPTIONS": f"{options}:log_path={reports}/tsan"}
    status = pytest_status(session, "-ra", *selection, env=env)
    # The installed library is stripped: the module's frames are named from
    # the unstripped one in the build directory.
    unstripped = [str(path) for path in sorted(ROOT.glob("build/tsan/*/color.*.so"))[:1]]
    triage = (sys.executable, "scripts/tsan_reports.py", str(reports), *unstripped)
    if run_status(session, *triage, external=True):
        session.error("ThreadSanitizer reported races in the module (above)")
    if status:
        session.error(f"the tests failed under ThreadSanitizer (exit {status})")


@nox.session(python=PYTHON)
def benchmarks(session: nox.Session) -> None:
    """benchmarks/bench.py against the installed package and the test builds; arguments go to it (--quick, --instructions)."""
    install_for_tests(session)
    session.run("python", "benchmarks/bench.py", *session.posargs)


@nox.session(venv_backend="none")
def portability(session: nox.Session) -> None:
    """The Windows build with mingw-w64, the public headers for Windows, clang -Wpedantic, CMake's macOS link line."""
    session.run(sys.executable, "scripts/portability.py", external=True)


if __name__ == "__main__":
    nox.main()
