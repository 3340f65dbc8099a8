/* A stand-in for raylib.h: raylib's include guard and its Color. */
#ifndef RAYLIB_H
#define RAYLIB_H
typedef struct Color {
    unsigned char r;
    unsigned char g;
    unsigned char b;
    unsigned char a;
} Color;
#endif
