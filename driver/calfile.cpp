// Calibration mode and data files (skeleton).
#include "quilmod.h"

int SET_PANEL_MAPPING(TouchPanel *p)
{
    Get_4pcal_25pcal_mode(p);
    read4ptdata(p);
    read25ptdata(p);
    return 1;
}
int Get_4pcal_25pcal_mode(TouchPanel *p) { p->_25Mode = 4; return 1; }
int read4ptdata(TouchPanel *) { return 0; }
int read25ptdata(TouchPanel *) { return 0; }
int SavePt4defaulttoFile(TouchPanel *) { return 0; }
int SavePt25defaulttoFile(TouchPanel *) { return 0; }
