// Compiled beside the installed raylib.h: the stand-in's Color must be
// raylib's, field for field, or the header tests that use it prove nothing.
#include <raylib.h>  // the installed one: only quoted includes find the stand-in

#include <cstddef>
#include <type_traits>

namespace stand_in {
#undef RAYLIB_H
#include "raylib.h"
}  // namespace stand_in

static_assert(sizeof(Color) == sizeof(stand_in::Color), "Color is as large as raylib's");
#define SAME_CHANNEL(name)                                                              \
    static_assert(offsetof(Color, name) == offsetof(stand_in::Color, name) &&           \
                      std::is_same_v<decltype(Color::name), decltype(stand_in::Color::name)>, \
                  "channel " #name " is raylib's")
SAME_CHANNEL(r);
SAME_CHANNEL(g);
SAME_CHANNEL(b);
SAME_CHANNEL(a);
