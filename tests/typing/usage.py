"""Typed use of vantel.color, as an application writes it.

`mypy --strict` checks this file against the installed stubs; each line marked
`# type: ignore[...]` is a use the stubs must reject (`--strict` warns about an
ignore that is not needed).  Run as a script, the file shows that the
installed module accepts and refuses exactly the same things.
"""

import copy
import pickle
from collections.abc import Generator
from types import CapsuleType, TracebackType
from typing import assert_type

from vantel.color import Color, get_include
from vantel.color import color as color_module


class Refused:
    """Asserts that the block raises `error`, and swallows it.

    Its __exit__ returns bool, so the checker knows the block may end early
    and goes on checking the code after a call that never returns.
    """

    def __init__(self, error: type[Exception]) -> None:
        self.error = error

    def __enter__(self) -> None:
        return None

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool:
        if kind is None:
            raise AssertionError(f"{self.error.__name__} was not raised")
        return issubclass(kind, self.error)


class Level:
    """Not an int, but has __int__: accepted wherever a channel is set."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __int__(self) -> int:
        return self.value


# Construction: three or four channels, by position or keyword; anything with
# __int__ is accepted, and alpha defaults to 255.
sky = Color(102, 191, 255)
assert_type(sky, Color)
glass = Color(r=200, g=220, b=255, a=Level(96))
clamped = Color(300, -4, 10.7, True)
assert (clamped.r, clamped.g, clamped.b, clamped.a) == (255, 0, 10, 1)

# The eight channel properties read as int and take anything with __int__.
assert_type(sky.r, int)
assert_type(glass.alpha, int)
sky.red = 12.7
sky.green = Level(300)
sky.blue = False
sky.a = 128
shade: int = sky.r + sky.green + sky.b + sky.alpha
assert (sky.r, sky.g, sky.blue, sky.alpha) == (12, 255, 0, 128)
assert shade == 395

# Iteration gives the channels as int: unpacking, lists and generators.
r, g, b, a = glass
assert_type(r, int)
channels: list[int] = list(glass)
assert channels == [r, g, b, a] == [200, 220, 255, 96]
walk = iter(glass)
assert_type(walk, Generator[int])
assert next(walk) == 200
assert walk.send(None) == 220


# Subclasses are ordinary Python classes.
class Swatch(Color):
    name = "swatch"


assert_type(Swatch(1, 2, 3).alpha, int)
assert_type(Color.__pyx_vtable__, CapsuleType)
assert_type(get_include(), str)

# What the stubs reject is refused at run time too.
with Refused(TypeError):
    Color("10", 20, 30)  # type: ignore[arg-type]
with Refused(TypeError):
    Color(1, 2)  # type: ignore[call-arg]
with Refused(TypeError):
    Color(1, 2, 3, alpha=4)  # type: ignore[call-arg]
with Refused(TypeError):
    sky.r = None  # type: ignore[assignment]
with Refused(TypeError):
    sky.alpha = "255"  # type: ignore[assignment]
with Refused(AttributeError):
    sky.hue = 3  # type: ignore[attr-defined]
with Refused(TypeError):
    sky[0]  # type: ignore[index]
with Refused(TypeError):
    len(sky)  # type: ignore[arg-type]
with Refused(TypeError):
    iter(sky).send(5)  # type: ignore[arg-type]
with Refused(TypeError):

    class Both(Color, Exception):  # type: ignore[misc]
        pass


# Pickling and copying are refused; the pickling methods never return.
with Refused(TypeError):
    pickle.dumps(sky)
with Refused(TypeError):
    copy.copy(sky)
with Refused(TypeError):
    sky.__reduce__()
with Refused(TypeError):
    sky.__setstate__({})
with Refused(TypeError):
    color_module.__reduce_cython__(sky)
with Refused(TypeError):
    color_module.__setstate_cython__(sky, None)

print("typed usage:", sky, glass, clamped)
