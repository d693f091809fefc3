// Serial line control and controller command transactions.
#pragma once
#include <termios.h>

extern struct termios TTYstate;

void Dev_SaveState(int dev);
int Dev_SetBaud(int dev, int whichbaud);
void Dev_RestoreState(int dev);
int ReadFunc(int fd, unsigned char *buf, int len);
void clear_serial_buffer(int fd);
void MilliSecDelay(int ms);
void usdelay(long time);

unsigned char check_sum(unsigned char *command_buffer);
unsigned char check_sum_data(unsigned char *command_buffer);
int process_command(int cmd, unsigned char *cmdbuf, unsigned char *command_buffer);
int SendAndWait_down(int fd, int cmd, unsigned char *cmdbuf, int *cmdlen);
int SendAndWait(int fd, int cmd, unsigned char *cmdbuf, int *cmdlen);
int try_touch_connect(int fd);
char get_error_status(int fd);
