"""Sphinx configuration of the vantel-color manual (MyST Markdown pages)."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

project = "vantel-color"
author = "the vantel developers"
copyright = "the vantel developers"
# The version is written once, in the package.
release = re.findall(
    r'^__version__ = "([^"]+)"', (ROOT / "src/vantel/color/__init__.py").read_text(), re.MULTILINE
)[0]
version = release

extensions = ["myst_parser"]
# The version on every page, under the title in the sidebar.
html_sidebars = {
    "**": ["about.html", "version.html", "navigation.html", "relations.html", "searchbox.html"]
}
templates_path = ["_templates"]
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "figures"]
# Types of the C signatures in the API reference that come from Python.h,
# stdint.h and raylib.h, and builtins of the Python ones: no inventory of
# theirs is fetched, so that the build needs no network.
nitpick_ignore = [
    *(
        ("c:identifier", name)
        for name in ("PyObject", "PyTypeObject", "uint8_t", "int32_t", "Color")
    ),
    *(("py:class", name) for name in ("int", "str", "dict")),
]
# The code on these pages is Python sessions, C, C++, Cython, CMake and shell.
highlight_language = "none"

html_theme = "alabaster"
html_theme_options = {
    "description": "The Color class of vantel: raylib's Color struct as a Python object",
    "fixed_sidebar": True,
    # Wide enough for the header's 100-column lines.
    "page_width": "1180px",
    "body_max_width": "none",
}
html_title = f"vantel-color {release}"
