"""Checks the installed release wheel WHEEL in the running environment:

    python -I scripts/wheel_installed.py WHEEL

run from outside the source tree, so that only the installed module counts."""

import importlib.metadata
import sys
import sysconfig
from pathlib import Path

import vantel.color
from vantel.color import Color

wheel_version = Path(sys.argv[1]).name.split("-")[1]
assert Path(vantel.color.__file__).is_relative_to(sys.prefix), vantel.color.__file__
assert vantel.color.__version__ == importlib.metadata.version("vantel-color") == wheel_version, (
    vantel.color.__version__,
    importlib.metadata.version("vantel-color"),
    wheel_version,
)
color = Color(300, -4, 10)
assert repr(color) == "Color(255, 0, 10, 255)", repr(color)
# A free-threaded interpreter turns the GIL back on for a module that does
# not declare that it runs without it.
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing vantel.color turned the GIL on"
print(
    f"ok: vantel.color {vantel.color.__version__} from {Path(vantel.color.__file__).parent}: {color!r}"
)
