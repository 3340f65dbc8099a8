"""raylib 6.0's colour functions written out in Python, from its source
(src/rtextures.c), so that use.py can check paint's results against values
that raylib did not compute.  Colours are (r, g, b, a) tuples.

raylib computes in single precision: f32() rounds each intermediate result as
a C float does, and int() truncates toward zero as C's conversion of a float
to an unsigned char does.
"""

import math
import struct


def f32(value):
    """`value` rounded to the nearest single-precision float."""
    return struct.unpack("f", struct.pack("f", value))[0]


def clamp(value, low, high):
    return low if value < low else high if value > high else value


def Fade(color, alpha):
    return (*color[:3], int(f32(255 * clamp(f32(alpha), 0.0, 1.0))))


ColorAlpha = Fade


def ColorTint(color, tint):
    return tuple(channel * factor // 255 for channel, factor in zip(color, tint, strict=True))


def ColorBrightness(color, factor):
    factor = clamp(f32(factor), -1.0, 1.0)
    if factor < 0:
        factor = f32(1 + factor)
        rgb = [f32(channel * factor) for channel in color[:3]]
    else:
        rgb = [f32(f32((255 - channel) * factor) + channel) for channel in color[:3]]
    return (*map(int, rgb), color[3])


def ColorContrast(color, contrast):
    contrast = f32(1 + clamp(f32(contrast), -1.0, 1.0))
    contrast = f32(contrast * contrast)

    def corrected(channel):
        value = f32(f32(f32(f32(channel / 255) - 0.5) * contrast) + 0.5)
        return int(clamp(f32(value * 255), 0.0, 255.0))

    return (*map(corrected, color[:3]), color[3])


def ColorAlphaBlend(dst, src, tint):
    # raylib's integer version: 256ths, the source tinted first.
    src = tuple((channel * (factor + 1)) >> 8 for channel, factor in zip(src, tint, strict=True))
    if src[3] == 0:
        return tuple(dst)
    if src[3] == 255:
        return src
    alpha = src[3] + 1
    out_alpha = ((alpha * 256 + dst[3] * (256 - alpha)) >> 8) & 0xFF
    rgb = (
        (((s * alpha * 256 + d * dst[3] * (256 - alpha)) // out_alpha) >> 8) & 0xFF
        for s, d in zip(src[:3], dst[:3], strict=True)
    )
    return (*rgb, out_alpha)


def ColorLerp(color1, color2, factor):
    factor = clamp(f32(factor), 0.0, 1.0)
    return tuple(
        int(f32(f32(f32(1 - factor) * one) + f32(factor * two)))
        for one, two in zip(color1, color2, strict=True)
    )


def ColorToInt(color):
    r, g, b, a = color
    return r << 24 | g << 16 | b << 8 | a


def GetColor(value):
    return tuple(value >> shift & 0xFF for shift in (24, 16, 8, 0))


def ColorToHSV(color):
    rgb = [f32(channel / 255) for channel in color[:3]]
    high, low = max(rgb), min(rgb)
    delta = f32(high - low)
    if delta < f32(0.00001):
        return (0.0, 0.0, high)
    r, g, b = rgb
    if r >= high:
        hue = f32(f32(g - b) / delta)
    elif g >= high:
        hue = f32(2 + f32(f32(b - r) / delta))
    else:
        hue = f32(4 + f32(f32(r - g) / delta))
    hue = f32(hue * 60)
    if hue < 0:
        hue = f32(hue + 360)
    return (hue, f32(delta / high), high)


def ColorFromHSV(hue, saturation, value):
    hue, saturation, value = f32(hue), f32(saturation), f32(value)

    def channel(offset):
        k = math.fmod(f32(offset + f32(hue / 60)), 6)
        k = clamp(min(f32(4 - k), k), 0.0, 1.0)
        return int(f32(f32(value - f32(f32(value * saturation) * k)) * 255))

    return (channel(5), channel(3), channel(1), 255)


def ColorNormalize(color):
    return tuple(f32(channel / 255) for channel in color)


def ColorFromNormalized(normalized):
    return tuple(int(f32(f32(channel) * 255)) for channel in normalized)


def ColorIsEqual(color1, color2):
    return tuple(color1) == tuple(color2)
