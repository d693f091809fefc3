// Four-point and twenty-five-point correction (skeleton, filled in by its own change).
#include "correct.h"

int CH_delta[25][2];
int Point_Area;

void CalibrationPt(TouchPanel *panel, int *iCx, int *iCy)
{
    if (panel->_25Mode == 25)
        Calibration25Pt(panel, iCx, iCy, panel->screen_width_25, panel->screen_high_25);
    else
        Calibration4Pt(panel, iCx, iCy, panel->screen_width_4, panel->screen_high_4);
}

void Calibration4Pt(TouchPanel *, int *, int *, int, int) {}
void Calibration25Pt(TouchPanel *, int *, int *, int, int) {}
void Find_point_Area(int *Area, int, int) { *Area = 0; }
