// The unit of the program that sees raylib.h: it hands raylib colours to the
// other unit through the companion header's conversions.  Python.h comes
// first, as in every file that includes it: it sets feature macros that a
// standard header included earlier would already have fixed.
#include <Python.h>

#include <raylib.h>

#include <cstdio>

#include "color_raylib.h"
#include "painting.h"

int main()
{
    // Only the layout is exercised: the record is never handed to Python.
    VantelColorObject record = {};
    const Color original = {10, 20, 30, 40};
    paint(&record, VantelColor_FromRaylib(original));
    const Color back = VantelColor_ToRaylib(record._raw);
    const int sum = channel_sum(record._raw);
    std::printf("%d %d %d %d %d\n", back.r, back.g, back.b, back.a, sum);
    return 0;
}
