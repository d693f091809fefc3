// Panel record: one open touch port with its input buffers and calibration data.
#pragma once

// Raw controller positions of the four calibration corners.
struct Mapping {
    int uiLLX, uiLLY;  // lower left
    int uiLRX, uiLRY;  // lower right
    int uiULX, uiULY;  // upper left
    int uiURX, uiURY;  // upper right
};

// Twenty-five-point tables: [plane 0 = x, 1 = y][grid row][grid column].
struct LinearCoef {
    int delta[2][5][5];
    int delta_S[2][5][5];
};

enum PanelState { Normal = 0, _4PCal = 1, _25PCal = 2, __anything_else__ = 3 };

constexpr int PANEL_BUF = 100;  // controller bytes held between reads

struct Panel {
    char *device;                     // path as configured; lives right after the record
    int fd;
    int len;                          // bytes waiting in buf
    unsigned char buf[PANEL_BUF + 1]; // one more for the zero stored after the data
    PanelState state;
    int sharing;
    int present;
    int shrlen;
    unsigned char shrbuf[PANEL_BUF];
    int touched;
    int _25Mode;                      // 25: twenty-five-point correction, else four-point
    Mapping mapping;
    int screen_width_4;
    int screen_high_4;
    int screen_width_25;
    int screen_high_25;
    LinearCoef coef;
    int noise;                        // bytes read since the last packet (input.cpp)
    Panel *next;
};

typedef Panel TouchPanel;
