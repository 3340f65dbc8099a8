"""Checks that the manual's API reference lists every public name: run by
the nox session api on the objects.inv of the built manual, against the
installed package.

The names come from the package itself: `vantel.color.__all__` and
`__version__`, every name of the module `vantel.color.color` and of the
`Color` class, and every type, member, function and macro of the headers
that `get_include()` finds.  Each must be an object of the inventory, which
is what the General Index lists and other projects link to with
intersphinx.  The changelog's newest entry must be the package's version.

    python tests/check_api_reference.py BUILT_HTML/objects.inv
"""

import re
import sys
from pathlib import Path

import sphobjinv

import vantel.color
import vantel.color.color

CHANGELOG = Path(__file__).resolve().parent.parent / "docs" / "changelog.md"
# What every module has, whatever it defines.
MODULE_ATTRIBUTES = {
    "__builtins__",
    "__doc__",
    "__file__",
    "__loader__",
    "__name__",
    "__package__",
    "__spec__",
}


def inventory(path):
    """{(domain:role, name)} of a Sphinx objects.inv."""
    return {(f"{item.domain}:{item.role}", item.name) for item in sphobjinv.Inventory(path).objects}


def python_names():
    """(name, the roles it may have) of every public Python name."""
    for name in [*vantel.color.__all__, "__version__"]:
        yield f"vantel.color.{name}", {"py:class", "py:function", "py:data"}
    module = vantel.color.color
    for name in sorted(vars(module).keys() - MODULE_ATTRIBUTES):
        yield f"{module.__name__}.{name}", {"py:class", "py:function", "py:data"}
    for name in sorted(vars(vantel.color.Color).keys() - {"__doc__"}):
        yield f"vantel.color.Color.{name}", {"py:method", "py:property", "py:attribute"}


def c_names(header):
    """(name, role) of every type, member, function and macro of a header."""
    text = header.read_text()
    structs = re.findall(r"^typedef struct (\w+) \{\n(.*?)^\}", text, re.MULTILINE | re.DOTALL)
    for struct, body in structs:
        yield struct, "c:struct"
        body = re.sub(r"/\*.*?\*/", "", body, flags=re.DOTALL)
        for declaration in body.split(";")[:-1]:
            # A function pointer names its member in `(*name)`; anything else
            # last.
            pointer = re.search(r"\(\*\s*(\w+)\)", declaration)
            member = pointer[1] if pointer else re.findall(r"\w+", declaration)[-1]
            yield f"{struct}.{member}", "c:member"
    for function in re.findall(r"^static inline [^(]*?(\w+)\(", text, re.MULTILINE):
        yield function, "c:function"
    for macro in re.findall(r"^#define (\w+)", text, re.MULTILINE):
        # The include guard, and the helpers that end in `_` and are
        # undefined again at the end of the header, are not for consumers.
        if not macro.endswith(("_H", "_")):
            yield macro, "c:macro"


def main():
    entries = inventory(sys.argv[1])
    missing = []
    for name, roles in python_names():
        if not any((role, name) in entries for role in roles):
            missing.append(f"{name} ({' or '.join(sorted(roles))})")
    include = Path(vantel.color.get_include())
    for header in ("color.h", "color_raylib.h"):
        for name, role in c_names(include / header):
            if (role, name) not in entries:
                missing.append(f"{name} ({role}, {header})")
    if missing:
        sys.exit("the API reference has no entry for:\n  " + "\n  ".join(missing))
    newest = re.search(r"^## (\d\S*)", CHANGELOG.read_text(), re.MULTILINE)
    if newest is None or newest[1] != vantel.color.__version__:
        sys.exit(f"{CHANGELOG}: the newest entry is not version {vantel.color.__version__}")
    print(f"ok: {len(entries)} objects in the inventory, every public name among them")


if __name__ == "__main__":
    main()
