// paint: an example extension module that hands vantel colours to raylib.
//
// It knows vantel.color.Color only through color.h and its raylib companion
// color_raylib.h, found with vantel.color.get_include().  Each function takes
// Colors, converts their `_raw` into raylib's Color, calls raylib, and builds
// the Colors it returns with the method table's `new_`.  Arguments raylib
// would misread (NaN, values outside a documented range, sizes below one
// pixel) are refused before raylib sees them.  use.py shows what each
// function gives.

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <new>

#include "color_raylib.h"

#include <rlgl.h>

namespace {

// Filled once, when the module is executed.  Color and its method table live
// until the process ends, so a process-wide copy serves every call.
VantelColorAPI color_api = {nullptr, nullptr};

// raylib's Color of a Color object; PyArg_ParseTuple's "O!" with
// color_api.type has already checked its type.  The four channels are read
// in one load, safe while another thread writes them without the GIL.
Color raylib_color(PyObject *object)
{
    return VantelColor_ToRaylib(VantelColor_LoadRaw(object));
}

// A new Color with raylib's channels, or nullptr with an exception set.
PyObject *new_color(Color color)
{
    return color_api.methods->new_(color.r, color.g, color.b, color.a);
}

// raylib clamps these factors itself, but a NaN passes its comparisons and
// becomes an undefined conversion to a byte.
bool refuse_nan(float value, const char *name)
{
    if (std::isnan(value)) {
        PyErr_Format(PyExc_ValueError, "%s must not be NaN", name);
        return true;
    }
    return false;
}

// raylib's conversions back to bytes are defined only for values in 0..1.
bool refuse_outside_unit(float value, const char *name)
{
    if (!(value >= 0.0f && value <= 1.0f)) {
        PyErr_Format(PyExc_ValueError, "%s must be within 0..1", name);
        return true;
    }
    return false;
}

PyObject *fade(PyObject *, PyObject *args)
{
    PyObject *color;
    float alpha;
    if (!PyArg_ParseTuple(args, "O!f:Fade", color_api.type, &color, &alpha) ||
        refuse_nan(alpha, "alpha")) {
        return nullptr;
    }
    return new_color(Fade(raylib_color(color), alpha));
}

PyObject *color_alpha(PyObject *, PyObject *args)
{
    PyObject *color;
    float alpha;
    if (!PyArg_ParseTuple(args, "O!f:ColorAlpha", color_api.type, &color, &alpha) ||
        refuse_nan(alpha, "alpha")) {
        return nullptr;
    }
    return new_color(ColorAlpha(raylib_color(color), alpha));
}

PyObject *color_tint(PyObject *, PyObject *args)
{
    PyObject *color, *tint;
    if (!PyArg_ParseTuple(args, "O!O!:ColorTint", color_api.type, &color, color_api.type, &tint)) {
        return nullptr;
    }
    return new_color(ColorTint(raylib_color(color), raylib_color(tint)));
}

PyObject *color_brightness(PyObject *, PyObject *args)
{
    PyObject *color;
    float factor;
    if (!PyArg_ParseTuple(args, "O!f:ColorBrightness", color_api.type, &color, &factor) ||
        refuse_nan(factor, "factor")) {
        return nullptr;
    }
    return new_color(ColorBrightness(raylib_color(color), factor));
}

PyObject *color_contrast(PyObject *, PyObject *args)
{
    PyObject *color;
    float contrast;
    if (!PyArg_ParseTuple(args, "O!f:ColorContrast", color_api.type, &color, &contrast) ||
        refuse_nan(contrast, "contrast")) {
        return nullptr;
    }
    return new_color(ColorContrast(raylib_color(color), contrast));
}

PyObject *color_alpha_blend(PyObject *, PyObject *args)
{
    PyObject *dst, *src, *tint;
    if (!PyArg_ParseTuple(args, "O!O!O!:ColorAlphaBlend", color_api.type, &dst, color_api.type,
                          &src, color_api.type, &tint)) {
        return nullptr;
    }
    return new_color(ColorAlphaBlend(raylib_color(dst), raylib_color(src), raylib_color(tint)));
}

PyObject *color_lerp(PyObject *, PyObject *args)
{
    PyObject *color1, *color2;
    float factor;
    if (!PyArg_ParseTuple(args, "O!O!f:ColorLerp", color_api.type, &color1, color_api.type,
                          &color2, &factor) ||
        refuse_nan(factor, "factor")) {
        return nullptr;
    }
    return new_color(ColorLerp(raylib_color(color1), raylib_color(color2), factor));
}

// The value as unsigned, 0xRRGGBBAA, so that it reads as hex and goes back
// through GetColor; raylib's int is negative for red above 127.
PyObject *color_to_int(PyObject *, PyObject *args)
{
    PyObject *color;
    if (!PyArg_ParseTuple(args, "O!:ColorToInt", color_api.type, &color)) {
        return nullptr;
    }
    return PyLong_FromUnsignedLong(static_cast<uint32_t>(ColorToInt(raylib_color(color))));
}

PyObject *get_color(PyObject *, PyObject *args)
{
    PyObject *object;
    if (!PyArg_ParseTuple(args, "O:GetColor", &object)) {
        return nullptr;
    }
    PyObject *index = PyNumber_Index(object);
    if (index == nullptr) {
        return nullptr;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "hexValue must be within 0..0xFFFFFFFF");
        return nullptr;
    }
    return new_color(GetColor(static_cast<unsigned int>(value)));
}

PyObject *color_to_hsv(PyObject *, PyObject *args)
{
    PyObject *color;
    if (!PyArg_ParseTuple(args, "O!:ColorToHSV", color_api.type, &color)) {
        return nullptr;
    }
    const Vector3 hsv = ColorToHSV(raylib_color(color));
    return Py_BuildValue("(ddd)", double{hsv.x}, double{hsv.y}, double{hsv.z});
}

PyObject *color_from_hsv(PyObject *, PyObject *args)
{
    float hue, saturation, value;
    if (!PyArg_ParseTuple(args, "fff:ColorFromHSV", &hue, &saturation, &value)) {
        return nullptr;
    }
    if (!std::isfinite(hue)) {
        PyErr_SetString(PyExc_ValueError, "hue must be finite");
        return nullptr;
    }
    if (refuse_outside_unit(saturation, "saturation") || refuse_outside_unit(value, "value")) {
        return nullptr;
    }
    return new_color(ColorFromHSV(hue, saturation, value));
}

PyObject *color_normalize(PyObject *, PyObject *args)
{
    PyObject *color;
    if (!PyArg_ParseTuple(args, "O!:ColorNormalize", color_api.type, &color)) {
        return nullptr;
    }
    const Vector4 normalized = ColorNormalize(raylib_color(color));
    return Py_BuildValue("(dddd)", double{normalized.x}, double{normalized.y},
                         double{normalized.z}, double{normalized.w});
}

PyObject *color_from_normalized(PyObject *, PyObject *args)
{
    Vector4 normalized;
    if (!PyArg_ParseTuple(args, "(ffff):ColorFromNormalized", &normalized.x, &normalized.y,
                          &normalized.z, &normalized.w)) {
        return nullptr;
    }
    if (refuse_outside_unit(normalized.x, "x") || refuse_outside_unit(normalized.y, "y") ||
        refuse_outside_unit(normalized.z, "z") || refuse_outside_unit(normalized.w, "w")) {
        return nullptr;
    }
    return new_color(ColorFromNormalized(normalized));
}

PyObject *color_is_equal(PyObject *, PyObject *args)
{
    PyObject *color1, *color2;
    if (!PyArg_ParseTuple(args, "O!O!:ColorIsEqual", color_api.type, &color1, color_api.type,
                          &color2)) {
        return nullptr;
    }
    return PyBool_FromLong(ColorIsEqual(raylib_color(color1), raylib_color(color2)));
}

// The largest picture either drawing function makes: its pixel count stays
// far inside raylib's int arithmetic.
constexpr int max_side = 4096;

// A picture to draw: a background, then rectangles, then single pixels, each
// with a Color.  Parsed whole before anything is drawn, so that bad input
// draws nothing.
struct Rect {
    int x, y, width, height;
    Color color;
};
struct Pixel {
    int x, y;
    Color color;
};
struct Scene {
    int width, height;
    Color background;
    std::unique_ptr<Rect[]> rects;
    Py_ssize_t rect_count;
    std::unique_ptr<Pixel[]> pixels;
    Py_ssize_t pixel_count;
};

// Reads each item of `items`, any iterable, with `parse`.  The items are
// copied into a tuple first: parsing a number may run Python code, which
// must not be able to change the sequence being read.
template <typename Item, typename Parse>
bool parse_items(PyObject *items, std::unique_ptr<Item[]> &parsed, Py_ssize_t &count,
                 Parse parse)
{
    PyObject *snapshot = PySequence_Tuple(items);
    if (snapshot == nullptr) {
        return false;
    }
    count = PyTuple_GET_SIZE(snapshot);
    // No C++ exception may cross into the interpreter: a failed allocation
    // is Python's MemoryError.
    parsed.reset(new (std::nothrow) Item[static_cast<size_t>(count)]);
    if (parsed == nullptr) {
        Py_DECREF(snapshot);
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        if (!parse(PyTuple_GET_ITEM(snapshot, i), parsed[i])) {
            Py_DECREF(snapshot);
            return false;
        }
    }
    Py_DECREF(snapshot);
    return true;
}

// Reads the size, the background, the (x, y, width, height, color) tuples
// of the rectangles and the (x, y, color) tuples of the pixels.
bool parse_scene(const char *function, int width, int height, PyObject *background,
                 PyObject *rects, PyObject *pixels, Scene &scene)
{
    if (width < 1 || width > max_side || height < 1 || height > max_side) {
        PyErr_Format(PyExc_ValueError, "%s(): width and height must be within 1..%d", function,
                     max_side);
        return false;
    }
    scene.width = width;
    scene.height = height;
    scene.background = raylib_color(background);
    const auto parse_rect = [function](PyObject *item, Rect &rect) {
        PyObject *color;
        if (!PyTuple_Check(item)) {
            PyErr_Format(PyExc_TypeError,
                         "%s(): a rectangle is a tuple (x, y, width, height, color), not %T",
                         function, item);
            return false;
        }
        if (!PyArg_ParseTuple(item, "iiiiO!", &rect.x, &rect.y, &rect.width, &rect.height,
                              color_api.type, &color)) {
            return false;
        }
        // raylib would still draw one pixel of an empty rectangle.
        if (rect.width < 1 || rect.height < 1) {
            PyErr_Format(PyExc_ValueError,
                         "%s(): a rectangle's width and height must be 1 or more", function);
            return false;
        }
        rect.color = raylib_color(color);
        return true;
    };
    const auto parse_pixel = [function](PyObject *item, Pixel &pixel) {
        PyObject *color;
        if (!PyTuple_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s(): a pixel is a tuple (x, y, color), not %T",
                         function, item);
            return false;
        }
        if (!PyArg_ParseTuple(item, "iiO!", &pixel.x, &pixel.y, color_api.type, &color)) {
            return false;
        }
        pixel.color = raylib_color(color);
        return true;
    };
    return parse_items(rects, scene.rects, scene.rect_count, parse_rect) &&
           parse_items(pixels, scene.pixels, scene.pixel_count, parse_pixel);
}

// draw_image(path, width, height, background, rectangles, pixels): draws the
// scene into an image on the CPU and exports it (PNG for a .png path).
PyObject *draw_image(PyObject *, PyObject *args)
{
    PyObject *path, *background, *rects, *pixels;
    int width, height;
    if (!PyArg_ParseTuple(args, "OiiO!OO:draw_image", &path, &width, &height, color_api.type,
                          &background, &rects, &pixels)) {
        return nullptr;
    }
    Scene scene;
    if (!parse_scene("draw_image", width, height, background, rects, pixels, scene)) {
        return nullptr;
    }
    PyObject *encoded;
    if (!PyUnicode_FSConverter(path, &encoded)) {
        return nullptr;
    }
    Image image = GenImageColor(scene.width, scene.height, scene.background);
    for (Py_ssize_t i = 0; i < scene.rect_count; i++) {
        const Rect &rect = scene.rects[i];
        ImageDrawRectangle(&image, rect.x, rect.y, rect.width, rect.height, rect.color);
    }
    for (Py_ssize_t i = 0; i < scene.pixel_count; i++) {
        const Pixel &pixel = scene.pixels[i];
        ImageDrawPixel(&image, pixel.x, pixel.y, pixel.color);
    }
    const bool exported = ExportImage(image, PyBytes_AS_STRING(encoded));
    UnloadImage(image);
    Py_DECREF(encoded);
    if (!exported) {
        PyErr_Format(PyExc_OSError, "raylib could not export the image to %R", path);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// draw_window(width, height, background, rectangles, pixels): opens a window,
// draws the scene in it with the GPU, and returns what is on the screen, a
// list of rows of Colors.  RuntimeError if raylib cannot open a window.
PyObject *draw_window(PyObject *, PyObject *args)
{
    PyObject *background, *rects, *pixels;
    int width, height;
    if (!PyArg_ParseTuple(args, "iiO!OO:draw_window", &width, &height, color_api.type,
                          &background, &rects, &pixels)) {
        return nullptr;
    }
    Scene scene;
    if (!parse_scene("draw_window", width, height, background, rects, pixels, scene)) {
        return nullptr;
    }
    InitWindow(scene.width, scene.height, "paint");
    if (!IsWindowReady()) {
        PyErr_SetString(PyExc_RuntimeError, "raylib could not open a window (no display?)");
        return nullptr;
    }
    BeginDrawing();
    ClearBackground(scene.background);
    for (Py_ssize_t i = 0; i < scene.rect_count; i++) {
        const Rect &rect = scene.rects[i];
        DrawRectangle(rect.x, rect.y, rect.width, rect.height, rect.color);
    }
    for (Py_ssize_t i = 0; i < scene.pixel_count; i++) {
        const Pixel &pixel = scene.pixels[i];
        DrawPixel(pixel.x, pixel.y, pixel.color);
    }
    // Draws what raylib has batched so far: the screen is read before
    // EndDrawing, whose swap of the buffers leaves the back one undefined.
    rlDrawRenderBatchActive();
    Image screen = LoadImageFromScreen();
    EndDrawing();
    CloseWindow();
    if (screen.data == nullptr || screen.width != scene.width || screen.height != scene.height) {
        UnloadImage(screen);
        PyErr_Format(PyExc_RuntimeError, "raylib read a %dx%d screen, not %dx%d", screen.width,
                     screen.height, scene.width, scene.height);
        return nullptr;
    }
    const Color *colors = static_cast<const Color *>(screen.data);
    PyObject *rows = PyList_New(screen.height);
    for (int y = 0; rows != nullptr && y < screen.height; y++) {
        PyObject *row = PyList_New(screen.width);
        for (int x = 0; row != nullptr && x < screen.width; x++) {
            PyObject *color = new_color(colors[y * screen.width + x]);
            if (color == nullptr) {
                Py_CLEAR(row);
                break;
            }
            PyList_SET_ITEM(row, x, color);
        }
        if (row == nullptr) {
            Py_CLEAR(rows);
            break;
        }
        PyList_SET_ITEM(rows, y, row);
    }
    UnloadImage(screen);
    return rows;
}

PyMethodDef paint_methods[] = {
    {"Fade", fade, METH_VARARGS, "Fade(color, alpha) -> Color: alpha (0..1) applied"},
    {"ColorAlpha", color_alpha, METH_VARARGS,
     "ColorAlpha(color, alpha) -> Color: alpha (0..1) applied"},
    {"ColorTint", color_tint, METH_VARARGS, "ColorTint(color, tint) -> Color: color multiplied"},
    {"ColorBrightness", color_brightness, METH_VARARGS,
     "ColorBrightness(color, factor) -> Color: brighter (factor > 0) or darker (< 0), -1..1"},
    {"ColorContrast", color_contrast, METH_VARARGS,
     "ColorContrast(color, contrast) -> Color: contrast corrected, -1..1"},
    {"ColorAlphaBlend", color_alpha_blend, METH_VARARGS,
     "ColorAlphaBlend(dst, src, tint) -> Color: src, tinted, blended over dst"},
    {"ColorLerp", color_lerp, METH_VARARGS,
     "ColorLerp(color1, color2, factor) -> Color: interpolated, factor 0..1"},
    {"ColorToInt", color_to_int, METH_VARARGS, "ColorToInt(color) -> int: 0xRRGGBBAA"},
    {"GetColor", get_color, METH_VARARGS, "GetColor(hexValue) -> Color: from 0xRRGGBBAA"},
    {"ColorToHSV", color_to_hsv, METH_VARARGS,
     "ColorToHSV(color) -> (hue, saturation, value): hue in degrees, the others 0..1"},
    {"ColorFromHSV", color_from_hsv, METH_VARARGS,
     "ColorFromHSV(hue, saturation, value) -> Color: hue in degrees, the others 0..1"},
    {"ColorNormalize", color_normalize, METH_VARARGS,
     "ColorNormalize(color) -> (r, g, b, a): each channel 0..1"},
    {"ColorFromNormalized", color_from_normalized, METH_VARARGS,
     "ColorFromNormalized((r, g, b, a)) -> Color: from channels 0..1"},
    {"ColorIsEqual", color_is_equal, METH_VARARGS,
     "ColorIsEqual(color1, color2) -> bool: the same four channels"},
    {"draw_image", draw_image, METH_VARARGS,
     "draw_image(path, width, height, background, rectangles, pixels) -> None\n\n"
     "Draws rectangles (x, y, width, height, color), then pixels (x, y, color), on an image\n"
     "of the background colour, and exports it to path (PNG for a .png name)."},
    {"draw_window", draw_window, METH_VARARGS,
     "draw_window(width, height, background, rectangles, pixels) -> list of rows of Colors\n\n"
     "Draws the same in a window with the GPU and returns what is on the screen."},
    {nullptr, nullptr, 0, nullptr},
};

int paint_exec(PyObject *)
{
    // A repeated import finds the interface already in place.
    if (color_api.type != nullptr) {
        return 0;
    }
    // raylib logs every file it writes and each step of opening a window:
    // only its warnings and errors are of interest here.
    SetTraceLogLevel(LOG_WARNING);
    return VantelColor_Import(&color_api);
}

PyModuleDef_Slot paint_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(paint_exec)},
    // vantel.color.color itself loads into one interpreter per process only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef paint_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "paint",
    .m_doc = "Example: raylib's colour functions and drawing, with vantel.color.Color.",
    .m_size = 0,
    .m_methods = paint_methods,
    .m_slots = paint_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_paint()
{
    return PyModuleDef_Init(&paint_module);
}
