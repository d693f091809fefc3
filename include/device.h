// Serial line control and controller command transactions.
#pragma once
#include <termios.h>
#include <unistd.h>

extern struct termios TTYstate;

void Dev_SaveState(int dev);
// 2400, 4800 and 19200 give those speeds, anything else 9600. Always 0.
int Dev_SetBaud(int dev, int whichbaud);
void Dev_RestoreState(int dev);
// Bytes read if fd had data at this moment; 0 = nothing ready (or end of file);
// < 0 = read failed, or fd negative or beyond FD_SETSIZE (-1, errno EBADF).
int ReadFunc(int fd, unsigned char *buf, int len);
void clear_serial_buffer(int fd);
void MilliSecDelay(int ms);
void usdelay(long time);

unsigned char check_sum(unsigned char *command_buffer);
unsigned char check_sum_data(unsigned char *command_buffer);
// 1 = the 8-byte packet was built, 0 = unknown command or rejected argument.
int process_command(int cmd, unsigned char *cmdbuf, unsigned char *command_buffer);
// 0 = reply in cmdbuf (8 bytes), -376 = nothing built or sent, -389 = no first byte in time,
// -397 = reply incomplete or invalid after 3 empty polls, -402 = read failed,
// -407 = more than 36 bytes without a reply at their start.
int SendAndWait_down(int fd, int cmd, unsigned char *cmdbuf, int *cmdlen);
// 1 = a reply arrived on the first or the second attempt, 0 = none.
int SendAndWait(int fd, int cmd, unsigned char *cmdbuf, int *cmdlen);
int try_touch_connect(int fd);
char get_error_status(int fd);

// The transactions pause through these, so tests can count the pauses (and act as the
// controller meanwhile) instead of waiting. Defaults: usleep, MilliSecDelay, sleep.
extern int (*devUsleep)(useconds_t usec);        // the pause after a command is sent or a port opened
extern void (*devMsDelay)(int ms);               // the pause after an empty poll
extern unsigned int (*devSleep)(unsigned int s); // the pause between SendAndWait's attempts
