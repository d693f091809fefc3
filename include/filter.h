// Filter coefficients carried in the settings record; the daemon does not use them.
#pragma once

struct FILTERCOEFF {
    long lDefZTranCoeff[4];
    long lUpperBound;
    long lLowerBound;
    long lThreshold;
    int bFilterOnOff;
};
