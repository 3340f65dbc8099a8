"""Uses the shade extension, once it is installed (build_and_run.sh)."""

import shade

from vantel.color import Color

dark = shade.darker(Color(200, 100, 51, 128))
print("darker:", dark)
assert type(dark) is Color
assert list(dark) == [100, 50, 25, 128]

# `not None` makes Cython refuse None instead of reading past it.
try:
    shade.darker(None)
except TypeError as error:
    print("refused:", error)
else:
    raise AssertionError("None was taken for a Color")

# The override is what Cython code calling clamp_byte gets...
tinted = shade.Tinted(1, 2, 3)
tinted.tint = 7
assert shade.clamp_with(tinted, 1000) == 7
assert shade.clamp_with(Color(1, 2, 3), 1000) == 255
# ...while vantel's own stores keep the clamp rule.
tinted.red = 1000
assert tinted.red == 255
tinted.__init__(300, -4, 10)
print("tinted:", tinted)
assert list(tinted) == [255, 0, 10, 255]
