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
