"""A short tour of vantel.color.Color."""

import pickle

from vantel.color import Color

# Alpha defaults to 255; every channel is clamped into 0..255.
sky = Color(102, 191, 255)
hot = Color(300, -4, 10)
print("sky:", sky)
print("clamped:", hot)

# Each channel has a short and a long name sharing one byte.
sky.alpha = 128
sky.r += 20
print("after edits:", sky, "| red =", sky.red, "| a =", sky.a)

# A colour unpacks into four integers, read when they are produced.
r, g, b, a = sky
print("unpacked:", r, g, b, a, "| as list:", list(hot))

# Fading a colour in place, as a game loop would each frame.
fade = Color(255, 255, 255)
for frame in range(4):
    fade.a = 255 - frame * 80
    print(f"frame {frame}: {fade}")

# Colours are raw struct memory: they refuse to be pickled implicitly.
try:
    pickle.dumps(sky)
except TypeError as error:
    print("pickle refused:", error)
