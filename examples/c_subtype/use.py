"""Uses the layers extension, once it is installed (build_and_run.sh)."""

import sys

import layers

from vantel.color import Color

for cls in (layers.StaticLayer, layers.Layer):
    colour = cls(300, -4, 10)
    colour.name = "sky"
    colour.b += 1
    print(f"{cls.__name__}: {colour!r}, named {colour.name!r}")
    assert isinstance(colour, Color)
    assert cls.__base__ is Color
    assert list(colour) == [255, 0, 11, 255]
    assert colour.name == "sky"
    assert repr(colour) == "Color(255, 0, 11, 255)"
    assert cls(1, 2, 3).name is None


# A Python class can derive from the heap type in turn.
class Named(layers.Layer):
    pass


# 10,000 instances of each type leave the reference counts of the type and of
# the name as they were: every instance released both.
name = "".join(["layer", "-name"])
for cls in (layers.StaticLayer, layers.Layer, Named):
    before = sys.getrefcount(cls), sys.getrefcount(name)
    for _ in range(10_000):
        cls(1, 2, 3).name = name
    after = sys.getrefcount(cls), sys.getrefcount(name)
    assert after == before, f"{cls.__name__}: {before} -> {after}"
print("the types and the name keep their reference counts")
