// Touch beep on the console speaker (skeleton).
#include "quilmod.h"

int console = -1;
volatile sig_atomic_t beep_status = 0;
long beep_freq = 1000;

void beep_on(long) {}
void beep_off() {}
void setTimer(double) {}
void kick_beep() {}
void beep_timer_routine(int) {}
void CheckFrameForBeep(char *, int) {}
