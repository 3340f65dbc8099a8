"""Sets the flag argv[2] exported by the shared object argv[1] before the
import: the module then runs as __main__."""

import ctypes
import sys

from common import report

flag = ctypes.c_int.in_dll(ctypes.CDLL(sys.argv[1]), sys.argv[2])
at_load = flag.value
flag.value = 1

import vantel.color.color  # noqa: E402, F401

module = sys.modules["vantel.color.color"]
report(
    {
        "at_load": at_load,
        "name": module.__name__,
        "color_module": module.Color.__module__,
        "works": list(module.Color(7, 8, 9, 10)),
    }
)
