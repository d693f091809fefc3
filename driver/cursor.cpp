// Cursor hiding through xsetroot (skeleton).
#include "quilmod.h"

void CheckFrameForCursor(char *, int) {}
