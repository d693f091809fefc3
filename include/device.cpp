// Serial line control and controller command transactions (skeleton).
#include "device.h"

struct termios TTYstate;

void Dev_SaveState(int) {}
int Dev_SetBaud(int, int) { return 0; }
void Dev_RestoreState(int) {}
int ReadFunc(int, unsigned char *, int) { return 0; }
void clear_serial_buffer(int) {}
void MilliSecDelay(int) {}
void usdelay(long) {}
unsigned char check_sum(unsigned char *) { return 0; }
unsigned char check_sum_data(unsigned char *) { return 0; }
int process_command(int, unsigned char *, unsigned char *) { return 0; }
int SendAndWait_down(int, int, unsigned char *, int *) { return -376; }
int SendAndWait(int, int, unsigned char *, int *) { return 0; }
int try_touch_connect(int) { return 0; }
char get_error_status(int) { return 0; }
