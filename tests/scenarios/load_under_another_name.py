"""Loads the shared object argv[1] as the top-level module `color`, with the
key "vantel.color.color" of sys.modules free or (argv[2] == "taken") held by
another object."""

import importlib.util
import sys

from common import report

sentinel = object()
if sys.argv[2] == "taken":
    sys.modules["vantel.color.color"] = sentinel

spec = importlib.util.spec_from_file_location("color", sys.argv[1])
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)

registered = sys.modules.get("vantel.color.color")
report(
    {
        "name": module.__name__,
        "registered": "module"
        if registered is module
        else "sentinel"
        if registered is sentinel
        else repr(registered),
        "color_name": module.Color.__name__,
        "top_level_registered": "color" in sys.modules,
    }
)
