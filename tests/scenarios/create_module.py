"""Runs the module's create function of the shared object argv[1] on a spec
described by the JSON argv[2]:
  {"only_name": true}                 a spec with a name and nothing else
  {"no_name": true}                   a plain object
  {"overrides": {attribute: value}}   a full spec, some attributes replaced
  {"raising": [attribute, error]}     a full spec whose attribute raises
Prints the module's namespace entries that the spec sets, or the exception."""

import builtins
import json
import sys
from types import SimpleNamespace

from common import ModuleDefinition, report

FULL = {
    "name": "probe",
    "loader": "the loader",
    "origin": "/somewhere/color.so",
    "parent": "pkg",
    "submodule_search_locations": ["/somewhere"],
}


def raising_spec(attribute, error):
    def read(self):
        raise getattr(builtins, error)(f"no {attribute} here")

    return type("Spec", (), {**FULL, attribute: property(read)})()


description = json.loads(sys.argv[2])
if description.get("only_name"):
    spec = type("Spec", (), {"name": "probe"})()
elif description.get("no_name"):
    spec = object()
elif "raising" in description:
    spec = raising_spec(*description["raising"])
else:
    spec = SimpleNamespace(**{**FULL, **description["overrides"]})

try:
    module = ModuleDefinition(sys.argv[1]).create(spec)
except BaseException as exc:
    report({"raised": type(exc).__name__, "message": str(exc)})
else:
    namespace = vars(module)
    report(
        {
            key: repr(namespace[key]) if key in namespace else "<absent>"
            for key in (
                "__name__",
                "__doc__",
                "__spec__",
                "__loader__",
                "__package__",
                "__file__",
                "__path__",
            )
        }
    )
    assert "vantel.color.color" not in sys.modules
