// The functions that painting.cpp defines for the other unit of the program.
// Both units see color.h, and only one of them sees raylib.h, so a record or
// colour type that differed between them would fail the link (the functions
// take the colour by type) or the one-definition check of -flto -Wodr.
#ifndef PAINTING_H
#define PAINTING_H

#include "color.h"

// Writes `raw` into the record's colour.
void paint(VantelColorObject *color, VantelRaylibColor raw);

// The sum of the four channels.
int channel_sum(VantelRaylibColor raw);

#endif
