"""Uses the tint extension: run it with the built module's directory on
PYTHONPATH (build_and_run.sh does both)."""

import tint

from vantel.color import Color

base = Color(100, 200, 50)

# scaled() reads base._raw and builds a new Color with new_, which clamps.
bright = tint.scaled(base, 1.5)
dim = tint.scaled(base, 0.5)
print("base:  ", base)
print("bright:", bright)
print("dim:   ", dim)
assert type(bright) is Color
assert list(bright) == [150, 255, 75, 255]
assert list(dim) == [50, 100, 25, 255]
assert list(base) == [100, 200, 50, 255], "the source colour is left alone"

# A factor that is not a number has no colour.
try:
    tint.scaled(base, float("nan"))
except ValueError as error:
    print("refused:", error)
else:
    raise AssertionError("a NaN factor was taken")

# fade() writes _raw.a in place, through clamp_byte.
tint.fade(base, 96)
print("faded: ", base)
assert base.alpha == 96
tint.fade(base, 1000)
assert base.alpha == 255

# Anything but a Color is refused.
try:
    tint.scaled((100, 200, 50), 2.0)
except TypeError as error:
    print("refused:", error)
else:
    raise AssertionError("a tuple was taken for a Color")
