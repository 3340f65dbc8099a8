"""Uses the tint extension that build.py makes.

    python build.py && python example.py

(With the module built elsewhere, put that directory on PYTHONPATH.)
"""

import tint

from vantel.color import Color

base = Color(100, 200, 50)

# scaled() reads base._raw and builds a new Color with new_, which clamps.
bright = tint.scaled(base, 1.5)
dim = tint.scaled(base, 0.5)
print("base:  ", base)
print("bright:", bright)
print("dim:   ", dim)
assert type(bright) is Color and list(bright) == [150, 255, 75, 255]
assert list(dim) == [50, 100, 25, 255]
assert list(base) == [100, 200, 50, 255], "the source colour is left alone"

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
