// Right-click tool child process (skeleton).
#include "quilmod.h"

int RClickPid = 0;
int MsgPipe[2];

void RClickToolNew(int) {}
int RClickToolExist() { return 0; }
void RClickToolKillOld() {}
void RClickToolOn() {}
void RClickToolOff() {}
void undertaker(int) {}
