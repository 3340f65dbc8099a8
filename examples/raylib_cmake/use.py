"""Uses the paint extension: run it with the built module's directory on
PYTHONPATH (build_and_run.sh does both).  Each colour function is checked
against raylib's formulas written out in Python (raylib_formulas.py); then a
picture of Colors is drawn on the CPU into picture.png and in a window with
the GPU, and both are read back pixel by pixel."""

import contextlib
import itertools
import math
import os
import shutil
import subprocess
import sys

import paint
import png
import raylib_formulas as formulas

from vantel.color import Color

# raylib's RED, GREEN, SKYBLUE and GOLD, black, white, and edge cases.
colors = [
    Color(230, 41, 55),
    Color(0, 228, 48),
    Color(102, 191, 255),
    Color(255, 203, 0, 128),
    Color(0, 0, 0),
    Color(255, 255, 255),
    Color(1, 2, 3, 4),
    Color(140, 60, 200, 0),
]
factors = [-math.inf, -2.0, -1.0, -0.55, -0.1, 0.0, 0.2, 1 / 3, 0.5, 0.8, 1.0, 3.0, math.inf]


def calls():
    """(function name, arguments) of every call checked."""
    for color in colors:
        yield from (
            ("ColorToInt", (color,)),
            ("ColorToHSV", (color,)),
            ("ColorNormalize", (color,)),
            ("ColorIsEqual", (color, Color(*color))),
        )
        for name, factor in itertools.product(
            ("Fade", "ColorAlpha", "ColorBrightness", "ColorContrast"), factors
        ):
            yield name, (color, factor)
        for other in colors:
            yield from (("ColorTint", (color, other)), ("ColorIsEqual", (color, other)))
            for tint in (Color(255, 255, 255), Color(255, 128, 0, 200)):
                yield "ColorAlphaBlend", (color, other, tint)
            for factor in factors:
                yield "ColorLerp", (color, other, factor)
    for value in (0, 0xFFFFFFFF, 0x66BFFFFF, 0xE6293780, 0x01020304):
        yield "GetColor", (value,)
    for hsv in itertools.product(
        (0, 30, 59.9, 60, 120.5, 200, 300, 359.9, 360, 400, -30), (0, 0.5, 0.8, 1), (0, 0.3, 1)
    ):
        yield "ColorFromHSV", hsv
    for normalized in ((0, 0, 0, 0), (1, 1, 1, 1), (0.5, 0.25, 0.1, 0.9), (1 / 3, 2 / 3, 0.999, 0)):
        yield "ColorFromNormalized", (normalized,)


for name, arguments in calls():
    result = getattr(paint, name)(*arguments)
    if isinstance(result, Color):
        assert type(result) is Color
        result = tuple(result)
    plain = [tuple(value) if isinstance(value, Color) else value for value in arguments]
    expected = getattr(formulas, name)(*plain)
    assert result == expected, f"{name}{tuple(plain)}: {result}, raylib's formula gives {expected}"
print("colour functions: as raylib's formulas give,", sum(1 for _ in calls()), "calls")

sky, sunset = Color(102, 191, 255), Color(255, 109, 40)
print("ColorLerp(sky, sunset, 0.5):", paint.ColorLerp(sky, sunset, 0.5))
print("ColorToInt(sky):", hex(paint.ColorToInt(sky)), "back:", paint.GetColor(0x66BFFFFF))

# Anything raylib cannot take is refused with the reason, before raylib sees it.
refused = [
    (paint.Fade, ((102, 191, 255), 0.5), TypeError),
    (paint.Fade, (sky, "0.5"), TypeError),
    (paint.Fade, (sky, math.nan), ValueError),
    (paint.ColorLerp, (sky, None, 0.5), TypeError),
    (paint.ColorFromHSV, (200, 1.5, 1), ValueError),
    (paint.ColorFromHSV, (math.inf, 1, 1), ValueError),
    (paint.ColorFromNormalized, ((0.5, 2, 0, 1),), ValueError),
    (paint.GetColor, (2**32,), OverflowError),
    (paint.GetColor, (0.5,), TypeError),
    (paint.draw_image, ("bad.png", 0, 10, sky, [], []), ValueError),
    (paint.draw_image, ("bad.png", 10, 10, sky, [(0, 0, 0, 5, sky)], []), ValueError),
    (paint.draw_image, ("bad.png", 10, 10, sky, [(0, 0, 5, 5, (1, 2, 3))], []), TypeError),
    (paint.draw_image, ("bad.png", 10, 10, sky, [], 5), TypeError),
]
for function, arguments, error in refused:
    try:
        function(*arguments)
    except error as raised:
        print(f"refused: {function.__name__}: {raised}")
    else:
        raise AssertionError(f"{function.__name__}{arguments} was taken")
assert not os.path.exists("bad.png")

# The picture: a hue wheel unrolled, sky to sunset, sky from dark to bright,
# and a sunset fading in over ink, in a dotted frame.
WIDTH, HEIGHT = 320, 136
background = paint.GetColor(0xF5F5F5FF)  # raylib's RAYWHITE
ink, white = paint.GetColor(0x2B2D42FF), Color(255, 255, 255)
rectangles = []
for x in range(300):
    rectangles.append((10 + x, 10, 1, 24, paint.ColorFromHSV(x * 1.2, 0.7, 0.95)))
    # ColorLerp's float arithmetic can leave alpha at 254: made opaque again,
    # as the window blends what is not.
    rectangles.append(
        (10 + x, 40, 1, 24, paint.ColorAlpha(paint.ColorLerp(sky, sunset, x / 299), 1))
    )
for i in range(10):
    rectangles.append((10 + 30 * i, 70, 28, 24, paint.ColorBrightness(sky, i / 4.5 - 1)))
    rectangles.append(
        (10 + 30 * i, 100, 28, 24, paint.ColorAlphaBlend(ink, paint.Fade(sunset, i / 9), white))
    )
pixels = [(x, y, ink) for x in range(2, WIDTH - 2, 2) for y in (2, HEIGHT - 3)]
pixels += [(x, y, ink) for y in range(2, HEIGHT - 2, 2) for x in (2, WIDTH - 3)]

# What every pixel must be: later shapes cover earlier ones.
expected = [[tuple(background)] * WIDTH for _ in range(HEIGHT)]
for x, y, width, height, color in rectangles:
    for row in expected[y : y + height]:
        row[x : x + width] = [tuple(color)] * width
for x, y, color in pixels:
    expected[y][x] = tuple(color)

paint.draw_image("picture.png", WIDTH, HEIGHT, background, rectangles, pixels)
width, height, rows, _ = png.Reader(filename="picture.png").asRGBA8()
assert (width, height) == (WIDTH, HEIGHT)
assert [list(itertools.batched(row, 4, strict=True)) for row in rows] == expected
print(f"picture.png: {WIDTH}x{HEIGHT}, every pixel as drawn")


@contextlib.contextmanager
def display():
    """Yields None where a window can be opened: on the desktop (on Linux,
    $DISPLAY's), or else on a virtual X server (Xvfb) started here; or the
    reason why not."""
    if not sys.platform.startswith("linux") or os.environ.get("DISPLAY"):
        yield None
        return
    if shutil.which("Xvfb") is None:
        yield "DISPLAY is not set and there is no Xvfb"
        return
    # Xvfb picks a free display and writes its number once it is ready; it
    # would reset, refusing connections for a moment, whenever its last
    # client leaves.
    ready_read, ready_write = os.pipe()
    server = subprocess.Popen(
        [
            "Xvfb",
            "-displayfd",
            str(ready_write),
            "-screen",
            "0",
            "640x480x24",
            "-nolisten",
            "tcp",
            "-noreset",
        ],
        pass_fds=[ready_write],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(ready_write)
    with os.fdopen(ready_read) as ready:
        number = ready.readline().strip()
    try:
        if not number:
            yield f"Xvfb did not start (exit status {server.wait()})"
        else:
            os.environ["DISPLAY"] = ":" + number
            yield None
    finally:
        server.terminate()
        server.wait()


with display() as no_window:
    screen = None
    if no_window is None:
        try:
            screen = paint.draw_window(WIDTH, HEIGHT, background, rectangles, pixels)
        except RuntimeError as error:
            no_window = str(error)
if screen is None:
    print("window: skipped:", no_window)
else:
    assert all(type(color) is Color for row in screen for color in row)
    assert [[tuple(color) for color in row] for row in screen] == expected
    print(f"window: {WIDTH}x{HEIGHT}, every pixel as drawn")
