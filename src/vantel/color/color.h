/*
 * vantel.color.color: the native interface of the Color class.
 *
 * Other compiled modules of the package include this header to build and
 * read colours without any Python-level call:
 *
 *   - VantelColorObject is the instance record of vantel.color.color.Color;
 *     `_raw` holds the four channels and may be read and written in place
 *     (atomically, where threads share a colour without the GIL: see below).
 *   - VantelColorMethodTable lists the two native functions of the class,
 *     `clamp_byte` and `new`, in that order.  The module publishes its one
 *     table in Color's own dictionary under "__pyx_vtable__" as a capsule
 *     without a name; VantelColor_Import() fetches it.
 *   - VANTEL_COLOR_API_VERSION is the version of this interface; the module
 *     publishes the version it implements beside the table, and
 *     VantelColor_Import() refuses a module older than this header.
 *
 * The field order of the record and the entry order of the table are a
 * binary contract: they never change.
 *
 * The header declares the same types in every translation unit, whatever
 * else is included: it never includes raylib.h.  Code that works with
 * raylib's own Color includes color_raylib.h, which converts between the two.
 *
 * The header is plain C (C11 or later) and C++ (C++17 or later).  Every call
 * here needs an attached thread state (the interpreter lock, on a build that
 * has one).
 */
#ifndef VANTEL_COLOR_COLOR_H
#define VANTEL_COLOR_COLOR_H

#include <Python.h>
#include <assert.h> /* static_assert in C11 */
#include <stddef.h>
#include <stdint.h>
#include <string.h> /* memcpy */

/*
 * The version of the interface this header describes.  It grows when the
 * interface gains something; what it already holds never changes, so a
 * module that publishes version N serves every consumer built against N or
 * lower.  Test it with #if to use what a later version adds.
 */
#define VANTEL_COLOR_API_VERSION 1

/* The key in Color's own dictionary under which the module publishes the
   version it implements, as an int. */
#define VANTEL_COLOR_API_VERSION_KEY "__vantel_color_api_version__"

/*
 * A null pointer and the two casts the functions below need, spelled so
 * that C++ built with -Wold-style-cast and -Wzero-as-null-pointer-constant
 * finds nothing to warn about.  They are undefined again at the end.
 */
#ifdef __cplusplus
#define VANTEL_COLOR_NULL_ nullptr
#define VANTEL_COLOR_CAST_(type, value) reinterpret_cast<type>(value)
#else
#define VANTEL_COLOR_NULL_ NULL
#define VANTEL_COLOR_CAST_(type, value) ((type)(value))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The colour itself, laid out as raylib's Color: four bytes r, g, b, a. */
typedef struct VantelRaylibColor {
    unsigned char r;
    unsigned char g;
    unsigned char b;
    unsigned char a;
} VantelRaylibColor;

static_assert(sizeof(VantelRaylibColor) == 4, "raylib Color is four bytes");
static_assert(offsetof(VantelRaylibColor, r) == 0, "raylib Color starts with r");
static_assert(offsetof(VantelRaylibColor, g) == 1, "raylib Color has g second");
static_assert(offsetof(VantelRaylibColor, b) == 2, "raylib Color has b third");
static_assert(offsetof(VantelRaylibColor, a) == 3, "raylib Color ends with a");

struct VantelColorMethodTable;

/*
 * The instance record of vantel.color.color.Color.
 *
 * Threads and `_raw`.  On a free-threaded interpreter (3.14t) the module runs
 * without the GIL and takes no lock for the channels: it reads and writes
 * `_raw` only by single relaxed atomic accesses, each of one channel byte or
 * of the whole aligned 4-byte word, and never by a read-modify-write.  A
 * property read or write, and each value an iterator yields, is one byte;
 * __init__ and `new` store the four channels in one word, and repr reads them
 * in one word, so it never shows channels of two different stores.
 *
 * A compiled module that reads or writes `_raw` of a colour that other
 * threads may use at the same time, on a free-threaded interpreter, must do
 * the same: relaxed atomic loads and stores of a byte or of the word
 * (__atomic_load_n / __atomic_store_n with __ATOMIC_RELAXED in GCC and
 * Clang, std::atomic_ref in C++20); copying the struct or assigning its
 * fields plainly is a data race there.  A change that depends on the old
 * value (brightening a colour, say) is a compare-and-swap loop on the word,
 * or is done under a lock of the caller's own that every such writer takes.
 * With the GIL, or on a colour no other thread can reach yet (one that `new`
 * has just returned), plain access is enough.
 */
typedef struct VantelColorObject {
    PyObject ob_base;
    const struct VantelColorMethodTable *method_table;
    VantelRaylibColor _raw;
} VantelColorObject;

/*
 * The Color method table.  `new` is a reserved word in C++, so its entry is
 * spelled `new_`; it is the table's second entry, the `new` of the class.
 */
typedef struct VantelColorMethodTable {
    /* The clamp rule: below 0 gives 0, above 255 gives 255, else `val`.
       `self` is not read; the call cannot fail. */
    uint8_t (*clamp_byte)(VantelColorObject *self, int32_t val);
    /* A new exact Color with the four values clamped, without running
       __init__: a new reference, or NULL with an exception set. */
    PyObject *(*new_)(int32_t r, int32_t g, int32_t b, int32_t a);
} VantelColorMethodTable;

static_assert(offsetof(VantelColorObject, _raw) ==
                  offsetof(VantelColorObject, method_table) + sizeof(void *),
              "_raw follows method_table");
static_assert(offsetof(VantelColorMethodTable, new_) == sizeof(void *),
              "new is the second entry of the method table");

/*
 * `_raw` of `color` (a Color, unchecked) read and written whole, as one
 * relaxed atomic access of the aligned word: the access the rule above asks
 * for, in C and C++ alike, and the one a Cython module reaches through
 * color.pxd, since Cython has no atomic access of its own.  With the GIL it
 * costs what a plain copy costs.
 */
static inline VantelRaylibColor VantelColor_LoadRaw(PyObject *color)
{
    VantelColorObject *record = VANTEL_COLOR_CAST_(VantelColorObject *, color);
    uint32_t word = _Py_atomic_load_uint32_relaxed(
        VANTEL_COLOR_CAST_(const uint32_t *, &record->_raw));
    VantelRaylibColor raw;
    memcpy(&raw, &word, sizeof raw);
    return raw;
}

static inline void VantelColor_StoreRaw(PyObject *color, VantelRaylibColor raw)
{
    VantelColorObject *record = VANTEL_COLOR_CAST_(VantelColorObject *, color);
    uint32_t word;
    memcpy(&word, &raw, sizeof word);
    _Py_atomic_store_uint32_relaxed(VANTEL_COLOR_CAST_(uint32_t *, &record->_raw), word);
}

/* What VantelColor_Import() hands out: the Color type and its method table. */
typedef struct VantelColorAPI {
    PyTypeObject *type; /* a strong reference */
    const VantelColorMethodTable *methods;
} VantelColorAPI;

/*
 * Checks that `type` (vantel.color.color.Color) publishes an interface
 * version of at least VANTEL_COLOR_API_VERSION.  Returns 0, or -1 with an
 * exception set: ImportError for a module that is too old (one that
 * publishes no version counts as version 0) or whose version does not fit a
 * C long.  VantelColor_Import() calls it; a Cython module that cimports
 * Color calls it once at import.
 */
static inline int VantelColor_CheckVersion(PyTypeObject *type)
{
    PyObject *type_dict = PyType_GetDict(type);
    PyObject *published = VANTEL_COLOR_NULL_;
    int found = PyDict_GetItemStringRef(type_dict, VANTEL_COLOR_API_VERSION_KEY, &published);
    Py_DECREF(type_dict);
    if (found < 0) {
        return -1;
    }
    long version = 0;
    int overflow = 0;
    if (found) {
        version = PyLong_Check(published) ? PyLong_AsLongAndOverflow(published, &overflow) : 0;
        Py_DECREF(published);
        if (version == -1 && PyErr_Occurred()) {
            return -1;
        }
    }
    if (overflow != 0) {
        PyErr_Format(PyExc_ImportError,
                     "vantel.color.color.Color implements a native API version outside the "
                     "range of a C long, but this module was built against version %d; "
                     "reinstall vantel-color",
                     VANTEL_COLOR_API_VERSION);
        return -1;
    }
    if (version < VANTEL_COLOR_API_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "vantel.color.color.Color implements native API version %ld, but this "
                     "module was built against version %d; upgrade vantel-color",
                     version, VANTEL_COLOR_API_VERSION);
        return -1;
    }
    return 0;
}

/*
 * Imports vantel.color.color and fills `api`.  Returns 0 on success, or -1
 * with an exception set (and `api` left untouched).  The module must
 * implement at least this header's version, Color's record must have the
 * header's size, and the table is read from Color's own dictionary, never an
 * inherited one; only a capsule without a name is accepted.
 */
static inline int VantelColor_Import(VantelColorAPI *api)
{
    PyObject *module = PyImport_ImportModule("vantel.color.color");
    if (module == VANTEL_COLOR_NULL_) {
        return -1;
    }
    PyObject *found = PyObject_GetAttrString(module, "Color");
    Py_DECREF(module);
    if (found == VANTEL_COLOR_NULL_) {
        return -1;
    }
    if (!PyType_Check(found)) {
        PyErr_SetString(PyExc_TypeError, "vantel.color.color.Color is not a type");
        Py_DECREF(found);
        return -1;
    }
    PyTypeObject *type = VANTEL_COLOR_CAST_(PyTypeObject *, found);
    if (VantelColor_CheckVersion(type) < 0) {
        Py_DECREF(found);
        return -1;
    }
    const Py_ssize_t record_size = sizeof(VantelColorObject);
    if (type->tp_basicsize != record_size) {
        PyErr_Format(PyExc_ValueError,
                     "vantel.color.color.Color size changed, may indicate binary "
                     "incompatibility. Expected %zd from C header, got %zd from PyObject",
                     record_size, type->tp_basicsize);
        Py_DECREF(found);
        return -1;
    }
    PyObject *key = PyUnicode_FromString("__pyx_vtable__");
    if (key == VANTEL_COLOR_NULL_) {
        Py_DECREF(found);
        return -1;
    }
    PyObject *type_dict = PyType_GetDict(type);
    PyObject *capsule = PyObject_GetItem(type_dict, key);
    Py_DECREF(type_dict);
    Py_DECREF(key);
    if (capsule == VANTEL_COLOR_NULL_) {
        Py_DECREF(found);
        return -1;
    }
    void *methods = PyCapsule_GetPointer(capsule, VANTEL_COLOR_NULL_);
    Py_DECREF(capsule);
    if (methods == VANTEL_COLOR_NULL_) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        }
        Py_DECREF(found);
        return -1;
    }
    api->type = type;
    api->methods = VANTEL_COLOR_CAST_(const VantelColorMethodTable *, methods);
    return 0;
}

/* True if `obj` is a Color or an instance of a subclass. */
static inline int VantelColor_Check(const VantelColorAPI *api, PyObject *obj)
{
    return PyObject_TypeCheck(obj, api->type);
}

#ifdef __cplusplus
}
#endif

#undef VANTEL_COLOR_NULL_
#undef VANTEL_COLOR_CAST_

#endif /* VANTEL_COLOR_COLOR_H */
