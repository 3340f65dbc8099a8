"""Imports into this interpreter and into a second one, in the order argv[2]
names; prints the outcome of every attempt.  The second interpreter shares
the first one's GIL, so only the module's own rule can refuse it."""

import _interpreters
import sys

from common import ModuleDefinition, report

SUB_SCRIPT = (
    "import vantel.color.color\nassert list(vantel.color.color.Color(4, 5, 6)) == [4, 5, 6, 255]"
)
outcomes = []
sub = _interpreters.create("legacy")


def import_here():
    try:
        import vantel.color.color  # noqa: F401
    except ImportError as exc:
        return [type(exc).__name__, str(exc)]
    return "imported"


def import_there():
    snapshot = _interpreters.run_string(sub, SUB_SCRIPT)
    return "imported" if snapshot is None else [snapshot.type.__name__, snapshot.msg]


def main_first():
    outcomes.append(import_here())
    outcomes.append(import_there())
    import vantel.color.color

    outcomes.append(list(vantel.color.color.Color(1, 2, 3)))


def sub_first():
    outcomes.append(import_there())
    outcomes.append(import_here())


def failed_create_first():
    class BrokenSpec:
        name = "vantel.color.color"

        @property
        def origin(self):
            raise LookupError("broken spec")

    try:
        ModuleDefinition(sys.argv[1]).create(BrokenSpec())
    except LookupError:
        outcomes.append("create failed")
    outcomes.append(import_there())
    outcomes.append(import_here())


{"main-first": main_first, "second-first": sub_first, "failed-create-first": failed_create_first}[
    sys.argv[2]
]()
report(outcomes)
