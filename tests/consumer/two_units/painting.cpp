// The unit of the program that sees color.h alone.
#include "painting.h"

void paint(VantelColorObject *color, VantelRaylibColor raw)
{
    color->_raw = raw;
}

int channel_sum(VantelRaylibColor raw)
{
    return raw.r + raw.g + raw.b + raw.a;
}
