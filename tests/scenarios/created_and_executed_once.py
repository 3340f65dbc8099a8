"""The module object is created and executed once per process: creating or
executing again, after the import, hands back or keeps the held module."""

import sys
from types import SimpleNamespace

from common import ModuleDefinition, report

module_definition = ModuleDefinition(sys.argv[1])


class UnreadableSpec:
    name = "other"

    @property
    def loader(self):
        raise LookupError("the spec was read")


# A module object made before the import, which therefore is not the held one.
stray = module_definition.create(SimpleNamespace(name="vantel.color.color"))

import vantel.color.color as held  # noqa: E402

test_dict = held.__test__
builtins_module = held.__builtins__

result = {"create_after_import": module_definition.create(UnreadableSpec()) is held}
result["name_after_create"] = held.__name__
result["exec_again"] = module_definition.exec(held)
result["nothing_redone"] = held.__test__ is test_dict and held.__builtins__ is builtins_module
try:
    module_definition.exec(stray)
except BaseException as exc:
    result["exec_stray"] = [type(exc).__name__, str(exc)]
result["stray_has_color"] = hasattr(stray, "Color")
result["still_works"] = list(held.Color(1, 2, 3))
result["registered"] = sys.modules["vantel.color.color"] is held
report(result)
