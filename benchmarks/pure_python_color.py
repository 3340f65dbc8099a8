"""A careful pure-Python colour, the peer that the benchmarks hold `Color` against.

It behaves like `vantel.color.color.Color` wherever the benchmarks look:
three or four channels with alpha defaulting to 255, every value turned into
an integer with int() and clamped into 0..255, the channels `r`, `g`, `b`,
`a` and their aliases `red`, `green`, `blue`, `alpha`, the repr
"Color(r, g, b, a)" and iteration over the four channels.

It is written the way a performance-minded Python programmer would write it:
`__slots__` (no instance dictionary), the clamp inlined as a conditional
expression instead of a helper call, the aliases bound to the very same
property objects, and an f-string repr.  It does not check that a value fits
32 bits, which only makes it cheaper.
"""

__all__ = ["Color"]


class Color:
    __slots__ = ("_r", "_g", "_b", "_a")

    def __init__(self, r, g, b, a=255):
        r = int(r)
        g = int(g)
        b = int(b)
        a = int(a)
        self._r = 0 if r < 0 else 255 if r > 255 else r
        self._g = 0 if g < 0 else 255 if g > 255 else g
        self._b = 0 if b < 0 else 255 if b > 255 else b
        self._a = 0 if a < 0 else 255 if a > 255 else a

    @property
    def r(self):
        return self._r

    @r.setter
    def r(self, value):
        value = int(value)
        self._r = 0 if value < 0 else 255 if value > 255 else value

    @property
    def g(self):
        return self._g

    @g.setter
    def g(self, value):
        value = int(value)
        self._g = 0 if value < 0 else 255 if value > 255 else value

    @property
    def b(self):
        return self._b

    @b.setter
    def b(self, value):
        value = int(value)
        self._b = 0 if value < 0 else 255 if value > 255 else value

    @property
    def a(self):
        return self._a

    @a.setter
    def a(self, value):
        value = int(value)
        self._a = 0 if value < 0 else 255 if value > 255 else value

    red = r
    green = g
    blue = b
    alpha = a

    def __repr__(self):
        return f"Color({self._r}, {self._g}, {self._b}, {self._a})"

    def __iter__(self):
        yield self._r
        yield self._g
        yield self._b
        yield self._a
