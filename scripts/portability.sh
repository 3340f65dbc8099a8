#!/usr/bin/env bash
# Checks, as far as this Linux machine can, that the module builds where it
# is not tested: with warnings as errors,
#   - Windows x86-64: the module's sources built with Debian's mingw-w64
#     cross compiler against the Windows configuration of CPython's own
#     headers, linked, and its exports checked (exactly its two symbols); the
#     public headers compiled as C and C++ for Windows;
#   - clang, macOS's compiler: the sources under -Wpedantic (with this
#     machine's headers: there is no macOS SDK here);
#   - macOS and Windows: CMakeLists.txt configured for each, its link
#     command checked for flags that only an ELF linker takes;
#   - everywhere: compiler keywords outside a guarded macro, and POSIX names
#     that mingw-w64 supplies but MSVC lacks.
#
# What it does not prove: that MSVC compiles the code (another compiler, with
# its own rules and its own C++ library), that Apple's clang and SDK do, that
# the module links against a real python3XY.lib (the import library made here
# is generated from the functions the headers declare) or on macOS, or that it
# runs on either.  docs/platforms.md says where each platform stands.
#
# Needs x86_64-w64-mingw32-g++ (Debian: g++-mingw-w64-x86-64), clang, cmake,
# and the CPython source tarball in ../shared/cpython/ (or CPYTHON_TARBALL),
# from which only the headers are taken, once, into ~/.cache/vantel-color.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

tarball=${CPYTHON_TARBALL:-$(realpath -m ../shared/cpython/Python-3.14.7.tar.xz)}
release=Python-3.14.7
dll=python314
cache=${VANTEL_COLOR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vantel-color}
headers=$cache/windows-headers-$release
out=build/portability
target=x86_64-w64-mingw32
python=$(find_python)
started=$SECONDS

# The posix flavour of the compiler has the C++ library's threads (std::mutex
# and the like), as MSVC's library does; the plain name is the fallback.
cxx=$(command -v "$target-g++-posix" || command -v "$target-g++" || true)
cc=$(command -v "$target-gcc-posix" || command -v "$target-gcc" || true)
if [ -z "$cxx" ] || [ -z "$cc" ]; then
    echo "error: no mingw-w64 compiler ($target-g++); on Debian: apt-get install g++-mingw-w64-x86-64" >&2
    exit 1
fi

for tool in clang++ cmake make "$target-dlltool" "$target-objdump"; do
    if ! command -v "$tool" >/dev/null; then
        echo "error: $tool is missing (Debian: clang, cmake, make, binutils-mingw-w64-x86-64)" >&2
        exit 1
    fi
done

# Extracts Include/ and PC/pyconfig.h, the Windows configuration, once; the
# lock lets two runs share the cache, the rename leaves no half-made copy.
mkdir -p "$cache"
exec {lock}>"$headers.lock"
flock "$lock"
if [ ! -f "$headers/PC/pyconfig.h" ]; then
    if [ ! -f "$tarball" ]; then
        echo "error: no CPython source tarball at $tarball (set CPYTHON_TARBALL)" >&2
        exit 1
    fi
    rm -rf "$headers.tmp"
    mkdir -p "$headers.tmp"
    tar -xJf "$tarball" -C "$headers.tmp" --strip-components=1 \
        "$release/Include" "$release/PC/pyconfig.h"
    mv "$headers.tmp" "$headers"
fi
flock -u "$lock"

rm -rf "$out"
mkdir -p "$out"
python_includes=(-isystem "$headers/Include" -isystem "$headers/PC")
# The module's own flags (CMakeLists.txt), and -Wpedantic, which turns GNU
# extensions of the language into errors.
strict=(-Wall -Wextra -Wpedantic -Werror)
module_flags=(-std=c++20 -O2 "${strict[@]}" -Wno-missing-field-initializers
    -fno-exceptions -fno-rtti -fno-strict-aliasing -fvisibility=hidden
    -fvisibility-inlines-hidden "${python_includes[@]}" -Isrc/native -Isrc/vantel/color)

# GNU and Microsoft keywords may appear only in the #define of a macro, under
# the guard that picks the one for the compiler; nothing else in the code
# names a compiler.
if grep -nE '__attribute__|__declspec|__builtin_|__typeof__|\b__thread\b|#[[:space:]]*pragma[[:space:]]+GCC' \
    src/native/*.cpp src/native/*.h src/vantel/color/*.h | grep -vE ':[0-9]+:[[:space:]]*#[[:space:]]*define '; then
    echo "error: compiler-specific code outside a guarded macro definition (above)" >&2
    exit 1
fi

# mingw-w64 supplies some of POSIX that MSVC has not: those must fail too.
if grep -nE '(^|[^_[:alnum:]])ssize_t([^_[:alnum:]]|$)|#[[:space:]]*include[[:space:]]*<(unistd|pthread|dirent|strings|dlfcn|sys/[a-z]+)\.h>' \
    src/native/*.cpp src/native/*.h src/vantel/color/*.h; then
    echo "error: POSIX-only code, which MSVC lacks (above)" >&2
    exit 1
fi

# The module's sources, as CMakeLists.txt lists them.
mapfile -t sources < <(sed -n '/^set(COLOR_SOURCES/,/)/p' CMakeLists.txt | grep -oE 'src/native/[A-Za-z0-9_]+\.cpp')
if [ ${#sources[@]} -eq 0 ]; then
    echo "error: found no COLOR_SOURCES in CMakeLists.txt" >&2
    exit 1
fi
objects=()
for source in "${sources[@]}"; do
    object=$out/$(basename "${source%.cpp}").o
    "$cxx" "${module_flags[@]}" -c "$source" -o "$object"
    objects+=("$object")
done
echo "portability.sh: compiled ${#objects[@]} sources for Windows x86-64 with $(basename "$cxx")"

# The public headers, as C and as C++, alone and beside a raylib.h (the test
# suite's stand-in, which has raylib's own layout).
header_flags=("${strict[@]}" "${python_includes[@]}" -Isrc/vantel/color
    -Itests/consumer/raylib_stand_in -fsyntax-only)
cxx_warnings=(-Wold-style-cast -Wzero-as-null-pointer-constant)
for unit in '#include "color.h"' \
    $'#include <Python.h>\n#include <raylib.h>\n#include "color_raylib.h"'; do
    for standard in c11 c17; do
        "$cc" -x c "-std=$standard" "${header_flags[@]}" - <<<"$unit"
    done
    for standard in c++17 c++20; do
        "$cxx" -x c++ "-std=$standard" "${header_flags[@]}" "${cxx_warnings[@]}" - <<<"$unit"
    done
done
echo "portability.sh: color.h and color_raylib.h compile as C11, C17, C++17 and C++20"

# The link.  python3XY.dll exports what its headers declare with PyAPI_FUNC and
# PyAPI_DATA (those of Include/internal are not the module's to use); an
# import library made from those declarations resolves exactly that, so the
# link fails on any other symbol the C and C++ runtimes do not have.
"$python" - "$headers/Include" "$dll" >"$out/$dll.def" <<'EOF'
import pathlib
import re
import sys

declaration = re.compile(
    r"PyAPI_(FUNC|DATA)\((?:[^()]|\([^()]*\))*\)\s*(?:\w+\s+)*?\(?\s*\*?\s*(\w+)\s*[(\[;)]")
exports = {}
for header in pathlib.Path(sys.argv[1]).rglob("*.h"):
    if "internal" in header.parts:
        continue
    for kind, name in declaration.findall(header.read_text()):
        if name.startswith(("Py", "_Py")):
            exports[name] = " DATA" if kind == "DATA" else ""
print(f"LIBRARY {sys.argv[2]}.dll\nEXPORTS")
for name in sorted(exports):
    print(f"    {name}{exports[name]}")
EOF
"$target-dlltool" --input-def "$out/$dll.def" --output-lib "$out/lib$dll.dll.a"
module=$out/color.cp314-win_amd64.pyd
"$cxx" -shared -static-libgcc -static-libstdc++ -o "$module" "${objects[@]}" \
    "$out/lib$dll.dll.a" -Wl,--no-undefined

# Exactly the two symbols leave the module, as on Linux.
exported=$("$target-objdump" -p "$module" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/{/Table/d;p}' | grep -oE '[A-Za-z_][A-Za-z0-9_]*$' | sort | tr '\n' ' ')
expected="PyInit_color __pyx_module_is_main_vantel__color__color "
if [ "$exported" != "$expected" ]; then
    echo "error: the module exports '$exported', not '$expected'" >&2
    exit 1
fi
echo "portability.sh: linked $module, which exports $expected"

# clang, with this machine's CPython headers and C++ library.
host_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
for source in "${sources[@]}"; do
    clang++ -std=c++20 -fsyntax-only "${strict[@]}" -Wno-missing-field-initializers \
        -isystem "$host_include" -Isrc/native -Isrc/vantel/color "$source"
done
echo "portability.sh: clang compiles the ${#sources[@]} sources under -Wpedantic"

# CMakeLists.txt as CMake generates it for macOS and for Windows (with this
# machine's interpreter and headers: only the commands are looked at, none
# is run), checked for what only GNU ld or another ELF linker takes.
elf_only='--version-script|--as-needed|-soname|-Bsymbolic|-z,|-z '
# configure_for SYSTEM CMAKE_ARGS...: prints the module's link command.
configure_for() {
    local system=$1 directory=$out/cmake-$1
    shift
    cmake -S . -B "$directory" -G "Unix Makefiles" -DCMAKE_SYSTEM_NAME="$system" \
        -DCMAKE_CXX_COMPILER_WORKS=ON -DPython_EXECUTABLE="$python" \
        -DPython_INCLUDE_DIR="$host_include" "$@" >"$directory.log" 2>&1 ||
        { cat "$directory.log" >&2; return 1; }
    cat "$directory/CMakeFiles/color.dir/link.txt"
}
# macOS: the module is a bundle that leaves the interpreter's symbols to the
# loader.
link=$(configure_for Darwin -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_OSX_ARCHITECTURES="arm64;x86_64")
if grep -qE -- "$elf_only" <<<"$link" || ! grep -q -- '-bundle' <<<"$link" ||
    ! grep -q 'dynamic_lookup' <<<"$link"; then
    echo "error: the macOS link command is not a bundle's without ELF-only flags: $link" >&2
    exit 1
fi
# Windows: the module links against python3XY.lib, here the import library
# made above under that name.
version=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
cp "$out/lib$dll.dll.a" "$out/python$version.lib"
link=$(configure_for Windows -DCMAKE_CXX_COMPILER="$cxx" -DPython_LIBRARY="$PWD/$out/python$version.lib")
if grep -qE -- "$elf_only" <<<"$link" || ! grep -q -- '-shared' <<<"$link"; then
    echo "error: the Windows link command has flags only an ELF linker takes: $link" >&2
    exit 1
fi
echo "portability.sh: CMake's link commands for macOS and Windows have no ELF-only flag"
echo "portability.sh: passed in $((SECONDS - started)) s"
