"""The Windows and macOS builds as far as this Linux machine can take them,
warnings as errors (the nox session portability), from the checkout's top:

    python scripts/portability.py

- No compiler-specific or POSIX-only code in the module's sources.
- CMakeLists.txt builds the module for Windows x86-64 with Debian's
  mingw-w64, against the Windows configuration of the headers of CPython's
  source release (scripts/lib.sh names it) and an import library of what they
  declare; the module exports exactly its two symbols.
- The public headers compile for Windows as C11, C17, C++17 and C++20.
- The sources compile under clang -Wpedantic, with the commands CMake writes.
- CMakeLists.txt configured for macOS makes the module a bundle.

Not proven: that MSVC or Apple's clang compile it, that it links against a
real python3XY.lib or on macOS, or that it runs on either (docs/platforms.md).
"""

import fcntl
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "portability"
MINGW = "x86_64-w64-mingw32"
# GNU and Microsoft keywords may appear only in the #define of a macro, under
# the guard that picks the one for the compiler.
COMPILER_SPECIFIC = re.compile(
    r"__attribute__|__declspec|__builtin_|__typeof__|\b__thread\b|#\s*pragma\s+GCC"
)
# mingw-w64 supplies some of POSIX that MSVC has not: those must fail too.
POSIX_ONLY = re.compile(
    r"(^|[^_\w])ssize_t([^_\w]|$)"
    r"|#\s*include\s*<(unistd|pthread|dirent|strings|dlfcn|sys/[a-z]+)\.h>"
)
# What only GNU ld or another ELF linker takes.
ELF_ONLY = re.compile(r"--version-script|--as-needed|-soname|-Bsymbolic|-z,|-z ")
PYAPI_DECLARATION = re.compile(
    r"PyAPI_(FUNC|DATA)\((?:[^()]|\([^()]*\))*\)\s*(?:\w+\s+)*?\(?\s*\*?\s*(\w+)\s*[(\[;)]"
)
EXPORTS = ["PyInit_color", "__pyx_module_is_main_vantel__color__color"]
# -Wpedantic turns GNU extensions of the language into errors.
STRICT = ["-Wall", "-Wextra", "-Wpedantic", "-Werror"]


def run(*command: str | Path, cwd: Path | str = ROOT, stdin: str | None = None) -> None:
    """Runs `command` (from the checkout's top), or fails."""
    print("+", shlex.join(map(str, command)), flush=True)
    subprocess.run([str(part) for part in command], input=stdin, text=True, check=True, cwd=cwd)


def output(*command: str | Path) -> str:
    """What `command` prints, or fails."""
    return subprocess.run(
        [str(part) for part in command], stdout=subprocess.PIPE, text=True, check=True, cwd=ROOT
    ).stdout


def cmake(build: str, *definitions: str) -> Path:
    """Configures CMakeLists.txt into build/portability/`build` with these
    -D definitions, warnings as errors and -Wpedantic; returns the directory."""
    directory = OUT / build
    definitions = ("VANTEL_COLOR_WERROR=ON", *definitions)
    configure = ("cmake", "-S", ".", "-B", directory, "-G", "Unix Makefiles")
    run(*configure, *(f"-D{definition}" for definition in definitions))
    return directory


def check_sources() -> None:
    code = [*ROOT.glob("src/native/*.[ch]*"), *ROOT.glob("src/vantel/color/*.h")]
    for pattern, problem in (
        (COMPILER_SPECIFIC, "compiler-specific code outside a guarded macro definition"),
        (POSIX_ONLY, "POSIX-only code, which MSVC lacks"),
    ):
        found = [
            f"{path.relative_to(ROOT)}:{number}: {line}"
            for path in sorted(code)
            for number, line in enumerate(path.read_text().splitlines(), 1)
            if pattern.search(line)
            and not (pattern is COMPILER_SPECIFIC and re.match(r"\s*#\s*define ", line))
        ]
        if found:
            sys.exit(f"{problem}:\n" + "\n".join(found))


def windows_headers(tarball: Path) -> Path:
    """The include directory of CPython for Windows: the source release's
    Include/ with PC/pyconfig.h (the Windows configuration) in it, as an
    installed interpreter has it, extracted once into ~/.cache/vantel-color;
    a lock lets runs share the cache, and a rename leaves no half-made copy."""
    cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "vantel-color"
    release = tarball.name.removesuffix(".tar.xz")
    headers = cache / f"windows-include-{release}"
    cache.mkdir(parents=True, exist_ok=True)
    with open(f"{headers}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (headers / "pyconfig.h").is_file():
            if not tarball.is_file():
                sys.exit(f"no CPython source tarball at {tarball} (set CPYTHON_TARBALL)")
            partial = Path(f"{headers}.tmp")
            shutil.rmtree(partial, ignore_errors=True)
            partial.mkdir()
            members = (f"{release}/Include", f"{release}/PC/pyconfig.h")
            run("tar", "-xJf", tarball, "-C", partial, "--strip-components=1", *members)
            (partial / "PC/pyconfig.h").rename(partial / "Include/pyconfig.h")
            (partial / "Include").rename(headers)
            shutil.rmtree(partial)
    return headers


def import_library(headers: Path, dll: str) -> Path:
    """pythonXY.lib: the DLL exports what its headers declare with PyAPI_FUNC
    and PyAPI_DATA (those of Include/internal are not the module's to use),
    so a link against this import library fails on any other symbol that the
    C and C++ runtimes do not have."""
    exports = {}
    for header in headers.rglob("*.h"):
        if "internal" not in header.parts:
            for kind, name in PYAPI_DECLARATION.findall(header.read_text()):
                if name.startswith(("Py", "_Py")):
                    exports[name] = " DATA" if kind == "DATA" else ""
    definition = OUT / f"{dll}.def"
    definition.write_text(
        f"LIBRARY {dll}.dll\nEXPORTS\n"
        + "".join(f"    {name}{exports[name]}\n" for name in sorted(exports))
    )
    library = OUT / f"{dll}.lib"
    run(f"{MINGW}-dlltool", "--input-def", definition, "--output-lib", library)
    return library


def build_for_windows(cxx: str, headers: Path) -> None:
    version = re.search(r"Python-(\d+)\.(\d+)", headers.name)
    assert version, headers
    tag = f"{version[1]}{version[2]}"
    library = import_library(headers, f"python{tag}")
    # CPython's headers are system headers here, as an installed
    # interpreter's are to gcc.
    build = cmake(
        "windows",
        "CMAKE_SYSTEM_NAME=Windows",
        f"CMAKE_CXX_COMPILER={cxx}",
        f"Python_INCLUDE_DIR={headers}",
        f"Python_LIBRARY={library}",
        f"Python_SOABI=cp{tag}-win_amd64",
        f"VANTEL_COLOR_EXTRA_FLAGS=-Wpedantic -isystem {headers}",
    )
    run("cmake", "--build", build, "--parallel", "2")
    link = (build / "CMakeFiles/color.dir/link.txt").read_text()
    if ELF_ONLY.search(link) or "-shared" not in link:
        sys.exit(f"the Windows link command has flags only an ELF linker takes: {link}")
    (module,) = build.glob("color.*.pyd")
    table = output(f"{MINGW}-objdump", "-p", module).split("[Ordinal/Name Pointer] Table", 1)[1]
    exported = sorted(re.findall(r"([A-Za-z_]\w*)$", table.split("\n\n", 1)[0], re.MULTILINE))
    if exported != EXPORTS:
        sys.exit(f"the module exports {exported}, not {' and '.join(EXPORTS)}")
    print(
        f"built {module.relative_to(ROOT)} for Windows x86-64, which exports {' '.join(exported)}"
    )


def check_headers_for_windows(cc: str, cxx: str, headers: Path) -> None:
    """The public headers, as C and as C++, alone and beside a raylib.h (the
    test suite's stand-in, which has raylib's own layout)."""
    flags = [*STRICT, "-isystem", str(headers), "-Isrc/vantel/color", "-fsyntax-only"]
    flags.append("-Itests/consumer/raylib_stand_in")
    cxx_only = ["-Wold-style-cast", "-Wzero-as-null-pointer-constant"]
    raylib_unit = '#include <Python.h>\n#include <raylib.h>\n#include "color_raylib.h"\n'
    for unit in ('#include "color.h"\n', raylib_unit):
        for compiler, language, standards, extra in (
            (cc, "c", ("c11", "c17"), []),
            (cxx, "c++", ("c++17", "c++20"), cxx_only),
        ):
            for standard in standards:
                run(compiler, "-x", language, f"-std={standard}", *flags, *extra, "-", stdin=unit)
    print("color.h and color_raylib.h compile for Windows as C11, C17, C++17 and C++20")


def check_clang() -> None:
    """Each of the module's compile commands, as CMake writes them for clang
    with this machine's interpreter, checked under -Wpedantic."""
    include = sysconfig.get_paths()["include"]
    build = cmake(
        "clang",
        "CMAKE_CXX_COMPILER=clang++",
        f"Python_EXECUTABLE={sys.executable}",
        "CMAKE_EXPORT_COMPILE_COMMANDS=ON",
        f"VANTEL_COLOR_EXTRA_FLAGS=-Wpedantic -isystem {include}",
    )
    commands = json.loads((build / "compile_commands.json").read_text())
    for entry in commands:
        run(*shlex.split(entry["command"]), "-fsyntax-only", cwd=entry["directory"])
    print(f"clang compiles the {len(commands)} sources under -Wpedantic")


def check_macos_link() -> None:
    """The module is a bundle that leaves the interpreter's symbols to the
    loader (only the command is looked at: nothing is built)."""
    build = cmake(
        "macos",
        "CMAKE_SYSTEM_NAME=Darwin",
        "CMAKE_CXX_COMPILER=clang++",
        "CMAKE_CXX_COMPILER_WORKS=ON",
        "CMAKE_OSX_ARCHITECTURES=arm64;x86_64",
        f"Python_INCLUDE_DIR={sysconfig.get_paths()['include']}",
    )
    link = (build / "CMakeFiles/color.dir/link.txt").read_text()
    if ELF_ONLY.search(link) or "-bundle" not in link or "dynamic_lookup" not in link:
        sys.exit(f"the macOS link command is not a bundle's without ELF-only flags: {link}")
    print("CMake's macOS link command makes a bundle, with no ELF-only flag")


def main() -> None:
    # The posix flavour of the compiler has the C++ library's threads
    # (std::mutex and the like), as MSVC's library does.
    cxx = shutil.which(f"{MINGW}-g++-posix") or shutil.which(f"{MINGW}-g++")
    cc = shutil.which(f"{MINGW}-gcc-posix") or shutil.which(f"{MINGW}-gcc")
    if not cxx or not cc:
        sys.exit(
            f"no mingw-w64 compiler ({MINGW}-g++); on Debian: apt-get install g++-mingw-w64-x86-64"
        )
    for tool in ("clang++", "cmake", "make", f"{MINGW}-dlltool", f"{MINGW}-objdump"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing (Debian: clang, cmake, make, binutils-mingw-w64-x86-64)")
    check_sources()
    tarball = output("bash", "-c", 'source scripts/lib.sh && echo "$CPYTHON_TARBALL"').strip()
    headers = windows_headers(Path(tarball))
    shutil.rmtree(OUT, ignore_errors=True)
    OUT.mkdir(parents=True)
    build_for_windows(cxx, headers)
    check_headers_for_windows(cc, cxx, headers)
    check_clang()
    check_macos_link()


if __name__ == "__main__":
    main()
