"""Errors raised with a key in the module's namespace that looks like
"__builtins__" to a hash lookup and runs Python code when compared.  Making a
traceback frame looks "__builtins__" up, which must not happen while the
error being reported is pending (the interpreter would turn every error
into SystemError)."""

from common import report

import vantel.color.color as module
from support import module_entries
from vantel.color.color import Color

compared = []


class LooksLikeBuiltins(str):
    def __hash__(self):
        return hash("__builtins__")

    def __eq__(self, other):
        compared.append(1)
        return NotImplemented


namespace = vars(module)
real = namespace.pop("__builtins__")
namespace[LooksLikeBuiltins("not builtins")] = None
outcomes = []
for fail in (
    lambda: Color("x", 2, 3),
    lambda: setattr(Color(1, 2, 3), "g", "x"),
    lambda: Color(1, 2, 3).__reduce__(),
    lambda: iter(Color(1, 2, 3)).throw(KeyError),
):
    try:
        fail()
    except BaseException as error:
        outcomes.append([type(error).__name__, [list(entry) for entry in module_entries(error)]])
report({"compared": bool(compared), "outcomes": outcomes})
