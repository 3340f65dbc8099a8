"""Types of vantel.color.color: the Color class and the module's functions."""

from collections.abc import Callable, Generator
from types import CapsuleType
from typing import ClassVar, NoReturn, SupportsInt

from typing_extensions import disjoint_base

# Color's instances have a layout of their own (the native record), so a class
# cannot derive from Color and from another such type at once.
@disjoint_base
class Color:
    """A mutable RGBA colour: four channels, each an integer in 0..255.

    Every value stored in a channel is converted with its ``__int__`` and then
    clamped into 0..255; a value outside the 32-bit signed range is refused
    with OverflowError.
    """

    # The native interface for compiled modules (see color.h): a capsule
    # without a name holding the Color method table.
    __pyx_vtable__: ClassVar[CapsuleType]
    # The version of that interface, which VantelColor_Import() checks.
    __vantel_color_api_version__: ClassVar[int]

    def __init__(self, r: SupportsInt, g: SupportsInt, b: SupportsInt, a: SupportsInt = 255) -> None: ...

    # Each channel has a short and a long name; both read and write one byte.
    @property
    def r(self) -> int: ...
    @r.setter
    def r(self, value: SupportsInt, /) -> None: ...
    @property
    def g(self) -> int: ...
    @g.setter
    def g(self, value: SupportsInt, /) -> None: ...
    @property
    def b(self) -> int: ...
    @b.setter
    def b(self, value: SupportsInt, /) -> None: ...
    @property
    def a(self) -> int: ...
    @a.setter
    def a(self, value: SupportsInt, /) -> None: ...
    @property
    def red(self) -> int: ...
    @red.setter
    def red(self, value: SupportsInt, /) -> None: ...
    @property
    def green(self) -> int: ...
    @green.setter
    def green(self, value: SupportsInt, /) -> None: ...
    @property
    def blue(self) -> int: ...
    @blue.setter
    def blue(self, value: SupportsInt, /) -> None: ...
    @property
    def alpha(self) -> int: ...
    @alpha.setter
    def alpha(self, value: SupportsInt, /) -> None: ...

    # Yields r, g, b and a, each read when it is produced.
    def __iter__(self) -> Generator[int, None, None]: ...

    # Colours refuse pickling and copying: both always raise TypeError.  The
    # state may also be passed as the keyword ``__pyx_state``, which a stub
    # cannot spell (a leading double underscore makes a parameter
    # positional-only).
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: object) -> NoReturn: ...

# The pickling methods as module-level callables (not plain functions: they do
# not bind as methods), taking the colour first; both always raise TypeError.
__reduce_cython__: Callable[[object], NoReturn]
__setstate_cython__: Callable[[object, object], NoReturn]

__test__: dict[str, object]
