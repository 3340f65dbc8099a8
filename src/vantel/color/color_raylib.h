/*
 * vantel.color.color with raylib: conversions between the colour of a
 * vantel Color (`_raw`, a VantelRaylibColor) and raylib's own Color.
 *
 * color.h never includes raylib.h, so that the record is one type in every
 * translation unit of a program; code that also works with raylib includes
 * this header instead, and converts explicitly:
 *
 *     DrawPixel(x, y, VantelColor_ToRaylib(VantelColor_LoadRaw(obj)));
 *     VantelColor_StoreRaw(obj, VantelColor_FromRaylib(GetPixelColor(...)));
 *
 * Both structures are four bytes r, g, b, a; the checks below stop the build
 * if a raylib.h ever disagrees.
 */
#ifndef VANTEL_COLOR_COLOR_RAYLIB_H
#define VANTEL_COLOR_COLOR_RAYLIB_H

/* Python.h comes before any other header, as it asks. */
#include <Python.h>

#include <raylib.h>

#include "color.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Four bytes at offsets 0 to 3 leave each channel exactly one byte. */
static_assert(sizeof(Color) == sizeof(VantelRaylibColor), "Color of raylib.h is four bytes");
static_assert(offsetof(Color, r) == offsetof(VantelRaylibColor, r) &&
                  offsetof(Color, g) == offsetof(VantelRaylibColor, g) &&
                  offsetof(Color, b) == offsetof(VantelRaylibColor, b) &&
                  offsetof(Color, a) == offsetof(VantelRaylibColor, a),
              "Color of raylib.h holds r, g, b and a in this order");

/* raylib's Color with the channels of `color`. */
static inline Color VantelColor_ToRaylib(VantelRaylibColor color)
{
    Color result = {color.r, color.g, color.b, color.a};
    return result;
}

/* The channels of raylib's `color`, to store into a record's `_raw`. */
static inline VantelRaylibColor VantelColor_FromRaylib(Color color)
{
    VantelRaylibColor result = {color.r, color.g, color.b, color.a};
    return result;
}

#ifdef __cplusplus
}
#endif

#endif /* VANTEL_COLOR_COLOR_RAYLIB_H */
