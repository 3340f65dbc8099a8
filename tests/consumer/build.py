"""Builds the test-only `_color_consumer` extension, a C++ module that uses
the Color class only through color.h, the way another compiled module of the
package does."""

import importlib.util
import os
import shlex
import subprocess
import sysconfig
from pathlib import Path

import vantel.color

SOURCE = Path(__file__).parent / "color_consumer.cpp"


class BuildError(RuntimeError):
    pass


def build_consumer(directory):
    """Compiles the consumer into `directory` and returns the built file's path.

    Extra compiler flags (a sanitizer build's, say) come from the environment
    variable VANTEL_TEST_CXXFLAGS.
    """
    target = Path(directory) / ("_color_consumer" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [
        os.environ.get("CXX", "g++"),
        "-std=c++20",
        "-O2",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-shared",
        "-fPIC",
        "-I" + sysconfig.get_paths()["include"],
        "-I" + vantel.color.get_include(),
        *shlex.split(os.environ.get("VANTEL_TEST_CXXFLAGS", "")),
        str(SOURCE),
        "-o",
        str(target),
    ]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise BuildError(f"building the consumer failed:\n{shlex.join(command)}\n{result.stderr}")
    return target


def load_consumer(path):
    """Imports the built consumer from its file."""
    spec = importlib.util.spec_from_file_location("_color_consumer", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
