// Calibration arithmetic: raw controller positions to screen pixels.
#pragma once
#include "quilmo.h"

// Four-point or twenty-five-point correction by the panel's _25Mode.
// In: raw position in *iCx, *iCy. Out: screen position, not clamped.
void CalibrationPt(TouchPanel *panel, int *iCx, int *iCy);
void Calibration4Pt(TouchPanel *panel, int *iCx, int *iCy, int screen_width, int screen_high);
void Calibration25Pt(TouchPanel *panel, int *iCx, int *iCy, int screen_width, int screen_high);
void Find_point_Area(int *Area, int x, int y);

extern int CH_delta[25][2];
extern int Point_Area;

// Non-zero: the exact integer model of the extended format instead of the hardware's.
// Where long double is not the x87 format the integer model is used whatever this says.
extern int correctPortable;

// trunc(a * (b / c)), each step rounded to a 64-bit significand. A zero divisor, or a
// product outside the int range, gives INT_MIN (the x87 "integer indefinite").
int truncated_term(int a, int b, int c);

// Twenty-five-point target of grid column (or row) step on a screen side of size pixels:
// trunc(size * 0.05 + ((size * -0.1 + size) * 0.25) * step) in the extended format.
int grid_target(int size, int step);

// Four-point target on a screen side of size pixels: size / 20 (near), size - size / 20 (far).
int corner_target(int size, bool far);
