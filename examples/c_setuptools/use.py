"""Uses the mix extension, once it is installed (build_and_run.sh)."""

import mix

from vantel.color import Color

red, blue = Color(255, 0, 0), Color(0, 0, 255, 55)
purple = mix.mix(red, blue)
print("mixed:", purple)
assert type(purple) is Color
assert list(purple) == [127, 0, 127, 155]

mix.set_alpha(purple, 1000)
print("opaque:", purple)
assert purple.alpha == 255

try:
    mix.mix(red, None)
except TypeError as error:
    print("refused:", error)
else:
    raise AssertionError("None was taken for a Color")
