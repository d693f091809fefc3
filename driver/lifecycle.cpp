// Start-up, single instance, pid file, SIGHUP and the reset.
#include "quilmod.h"

int optNotDaemon = 0;
int optForce = 0;
volatile sig_atomic_t resetPending = 0;
unsigned resetCount = 0;

int QuilmodMain(int, char **) { return 1; }
void DaemonReset() { resetCount++; }
void no_operate(int) {}
