// The Color type inside the module: its type object, its one method table,
// the clamp rule that guards every channel store, creation, and the steps of
// module execution that ready and publish the type.  The record itself,
// VantelColorObject, is the public layout of color.h.
#ifndef VANTEL_COLOR_COLOR_TYPE_H
#define VANTEL_COLOR_COLOR_TYPE_H

#include <Python.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "color.h"
#include "shared_memory.h"

namespace vantel::color {

extern PyTypeObject ColorType;
extern VantelColorMethodTable color_method_table;

inline VantelColorObject *as_color(PyObject *object) noexcept
{
    return reinterpret_cast<VantelColorObject *>(object);
}

// The clamp rule of every channel store: saturate a 32-bit value to a byte.
// The module applies it directly, never through the method table, so that a
// subtype's own clamp_byte cannot change what the module stores.
constexpr uint8_t clamp_to_byte(int32_t value) noexcept
{
    return value < 0 ? 0 : value > 255 ? 255 : static_cast<uint8_t>(value);
}

// Every access to the channels goes through these four, by the rule written
// where the record is defined (color.h): one relaxed atomic access, of a
// channel byte or of the whole 4-byte word, with no read-modify-write.
using ChannelMember = unsigned char VantelRaylibColor::*;
using ChannelWord = uint32_t;
static_assert(sizeof(VantelRaylibColor) == sizeof(ChannelWord));
static_assert(offsetof(VantelColorObject, _raw) % alignof(ChannelWord) == 0,
              "the colour's word is aligned for atomic access");
static_assert(std::atomic_ref<ChannelWord>::is_always_lock_free &&
              std::atomic_ref<unsigned char>::is_always_lock_free);

inline uint8_t load_channel(const VantelColorObject *color, ChannelMember channel) noexcept
{
    return load_relaxed(color->_raw.*channel);
}

// The channel at `index`, 0 to 3 for r, g, b and a.
inline uint8_t load_channel(const VantelColorObject *color, int index) noexcept
{
    return load_relaxed(reinterpret_cast<const uint8_t *>(&color->_raw)[index]);
}

inline void store_channel(VantelColorObject *color, ChannelMember channel, uint8_t value) noexcept
{
    store_relaxed(color->_raw.*channel, value);
}

inline VantelRaylibColor load_channels(const VantelColorObject *color) noexcept
{
#ifdef Py_GIL_DISABLED
    return std::bit_cast<VantelRaylibColor>(
        load_relaxed(*reinterpret_cast<const ChannelWord *>(&color->_raw)));
#else
    return color->_raw;
#endif
}

inline void store_channels(VantelColorObject *color, VantelRaylibColor channels) noexcept
{
#ifdef Py_GIL_DISABLED
    store_relaxed(*reinterpret_cast<ChannelWord *>(&color->_raw),
                  std::bit_cast<ChannelWord>(channels));
#else
    color->_raw = channels;
#endif
}

// Creation (tp_new): a zero-filled record pointing at the method table.  It
// never looks at the arguments; __init__ does.
PyObject *color_new(PyTypeObject *type, PyObject *args, PyObject *kwds);
// Creation of the exact type, as color_new(&ColorType, ...) without its
// tests, holding `channels`.
PyObject *new_exact_color(VantelRaylibColor channels = {0, 0, 0, 0});

// Module execution: the table is filled before the type is readied, since
// every colour records it when it is created, and then published in the
// type's dictionary for other compiled modules, with the interface version.
void fill_method_table();
int ready_color_type();
int publish_method_table();

}  // namespace vantel::color

#endif
