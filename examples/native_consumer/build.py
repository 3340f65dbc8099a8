"""Builds the tint example extension against the installed vantel package.

A build needs two include directories and nothing else: the interpreter's
headers (from sysconfig) and vantel's (from vantel.color.get_include()).
Nothing links against vantel: tint finds the Color type and its method table
when it is imported.

    python build.py [OUTPUT_DIR]

OUTPUT_DIR defaults to this directory, so that `python example.py` finds the
module.  CXX names the compiler (default g++); CXXFLAGS adds flags.
"""

import os
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

import vantel.color

HERE = Path(__file__).resolve().parent


def build(output_dir: Path) -> Path:
    """Compiles tint.cpp into `output_dir` and returns the module's path."""
    output_dir.mkdir(parents=True, exist_ok=True)
    target = output_dir / ("tint" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [
        os.environ.get("CXX", "g++"),
        "-std=c++20",
        "-O2",
        "-Wall",
        "-Wextra",
        "-shared",
        "-fPIC",
        "-I" + sysconfig.get_paths()["include"],
        "-I" + vantel.color.get_include(),
        *shlex.split(os.environ.get("CXXFLAGS", "")),
        str(HERE / "tint.cpp"),
        "-o",
        str(target),
    ]
    print(shlex.join(command), flush=True)
    subprocess.run(command, check=True)
    return target


if __name__ == "__main__":
    print("built", build(Path(sys.argv[1]) if len(sys.argv) > 1 else HERE))
