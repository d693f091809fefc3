// Shared declarations of the daemon's units: globals (each defined in the unit named
// beside it) and the operations one unit calls in another. What the tools share with the
// daemon (paths, files, numbers, packets, calibration files) comes from the headers below.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <string_view>
#include <sys/select.h>
#include <sys/time.h>

#include "calformat.h"
#include "conffile.h"
#include "filter.h"
#include "framing.h"
#include "quilmo.h"
#include "rootpath.h"
#include "safefile.h"
#include "text.h"

// ---- config.cpp: settings record and configuration file ----
typedef int TouchMode;  // 0 DRAWING, non-zero DESKTOP

struct Setting {
    TouchMode mode;
    int soundMode;      // 0 None, 1 Down, 2 Up
    int cursorMode;     // 0 None, 1 Display
    int drag_delay;
    int dblClickSpeed;
    int dblClickArea;
    int thisButton;     // 3 = right button for the current touch
    int nextButton;
    int commFdin;
    int commFdout;
    int rbuttonTag;
    int rClickTool;
    int oldx;
    int oldy;
    int touched;
    int count;
    FILTERCOEFF filter;
    struct timeval prevTime;  // monotonic clock, see QlmClock
    struct timeval thisTime;
    int rClickHold;     // ms a touch must stay put to be a right-button touch; 0 = off
};

extern Setting TouchSetting;
int GetPanelSetting();   // LoadPanelSetting, and "reopen: ..." when the file cannot be opened
// Reads the configuration, opening every listed port. 0 = read; 1 = the file could be neither
// opened nor created (errno says why), and nothing was changed.
int LoadPanelSetting();
void ReadDataFromCfgFile(FILE *fp);
void DumpSetting();
int RClickHoldAllowed(long long ms);  // 0 (off) or RCLICK_HOLD_MIN to RCLICK_HOLD_MAX

// ---- registry.cpp: panel list and select set ----
extern TouchPanel *panelList;
extern fd_set fdSet;
extern int fdMax;
TouchPanel *NewPanel(char *device, int baud);
TouchPanel *UpdatePanel(TouchPanel *p);
void ClosePort(char *name);
void ForgetPanelFd(TouchPanel *p);  // closes the port descriptor, out of the select set; fd = -1
void JoinList(TouchPanel **headp, TouchPanel *newp);
void LeaveList(TouchPanel **headp, TouchPanel *target, TouchPanel *pre);
void AddPanel(TouchPanel *p);   // JoinList + fdSet + fdMax
int WatchFd(int fd);            // fdSet + fdMax; 0 = watched, 1 = refused (fd >= FD_SETSIZE)

// ---- calfile.cpp: calibration mode and data files ----
int SET_PANEL_MAPPING(TouchPanel *p);
int Get_4pcal_25pcal_mode(TouchPanel *p);
int read4ptdata(TouchPanel *p);
int read25ptdata(TouchPanel *p);
int SavePt4defaulttoFile(TouchPanel *p);
int SavePt25defaulttoFile(TouchPanel *p);
// ---- input.cpp: panel input and device removal ----
void ProcessPanel(TouchPanel *panel);
int DoRead(TouchPanel *panel);
void SendRescanCmd();
// The wait until a held-back self-reset is due (into *wait), or null when none is held back.
const struct timespec *SelfResetTimeout(struct timespec *wait);
void SelfResetIfDue();  // sends the held-back self-reset once it is due

// ---- devices.cpp: each open port's kernel input device ----
enum InputKind : unsigned char;
extern InputKind InputDeviceKind;  // InputDevice = touch | pointer | none
// A Port line's device and the text after it: its options are checked and kept for its device.
void NotePortOptions(const char *device, const char *rest);
// Makes, keeps or destroys each port's device to match the open ports; writes the status file.
void SyncDevices();
// The frames the data pipes got, to the panel's device too; written by DevicesFlush, which the
// loop calls when a port's read is done and before it waits.
void DeviceFrame(const TouchPanel *panel, const unsigned char *frame, int len);
void DevicesFlush();
// A companion pointer's first press waits for the desktop to take the pointer its motion made:
// sends those that are due, and says how long until the next (into *left; null: none waits).
void DevicePressIfDue();
const struct timespec *DevicePressWaitLimit(struct timespec *left);
void DevicesEnd();  // releases and destroys every device

// ---- report.cpp: report pipeline ----
void ReportFrame(TouchPanel *panel, unsigned char *src);
// Sends 5-byte frames on their way: beep, drag delay, both data pipes, cursor, one by one.
void EmitFrames(TouchPanel *panel, unsigned char *frames, int len);

// ---- longpress.cpp: right click by a long press ----
constexpr int RCLICK_HOLD_MIN = 300;   // ms; 0 is off, and nothing else is taken
constexpr int RCLICK_HOLD_MAX = 3000;
// Holds back, passes or rewrites the frame just built (*len 5) for the long press: *len
// becomes 0 (held back), 5, or 10 (the held touch-down, then this frame). x and y are the
// position as touched, before the mouse mode moved it. frames has room for two.
void LongPressFrame(TouchPanel *panel, int x, int y, unsigned char *frames, int *len);
void LongPressIfDue();  // a held touch that stayed put until its time becomes a right-button one
// The wait until a held touch is due (into *left), or null when none is held.
const struct timespec *LongPressWaitLimit(struct timespec *left);
int LongPressDistance();  // pixels a held touch may stray, from dblClickArea

// ---- mousemode.cpp: mouse-mode output frames ----
void GenFrameWithMouseMode(TouchPanel *panel, unsigned char head, int x, int y,
                           unsigned char *dest, int *len);
void CheckFrameForDragDelay(unsigned char *frame, int dlen);
// The clock of the double-click window: CLOCK_MONOTONIC in a timeval.
// A pointer so that unit tests can drive time.
extern void (*QlmClock)(struct timeval *tv);
// QlmClock in milliseconds, and the time left until a moment of it (none left: zero), for the
// loop's deadlines.
long long QlmNowMs();
const struct timespec *QlmTimeLeft(long long dueMs, struct timespec *left);
// 1 when the touch in thisTime began inside the double-click window after prevTime.
int InDoubleClickWindow();

// ---- pipes.cpp: named pipes ----
extern int fdOuts[2];
extern int fdCmdIn, fdCmdOut, fdShrIn, fdShrOut;
int CreatePipe(char *name, int mode);
// Holds six low descriptors for the FIFOs; called before the ports open.
void ReservePipeFds();
int CreateDatPipe();
int CreateCmdPipe();
int CreateSharePipe();
void EmptyPipe(int fd);
void FlushOutput();
// write() that retries on EINTR; result as write's. For writes whose failure is only noted.
long PipeWrite(int fd, const void *buf, size_t len);

// ---- command.cpp: command channel ----
void ProcessCommand();
int CommandHeld();      // 1 while a command waits for a requested reset
void RunHeldCommand();  // runs the command that waited, if any

// ---- share.cpp: port sharing ----
constexpr size_t PORT_SHARED_SIZE = 500;
extern char PortShared[PORT_SHARED_SIZE];
void SharePort(char *name);
void ProcessShare();

// ---- lifecycle.cpp: start-up, single instance, reset ----
extern int optNotDaemon;
extern int optForce;
extern volatile sig_atomic_t resetPending;  // set by SIGHUP, acted on by the loop
extern unsigned resetCount;                 // bumped by every DaemonReset
int QuilmodMain(int argc, char **argv);
void GetOpt(int argc, char **argv);
int IsUnique(int *pid);
void SetLock();
void qlm_killed(int signo);
void DaemonReset();
// In a forked child before exec: default dispositions and an empty signal mask.
void ChildSignalDefaults();

// ---- loop.cpp: service loop ----
void EndlessServiceLoop();
int ServiceCycle();  // one cycle; returns after handlers ran (used by the loop)
void RequestReset(int bySignal);  // gathered with others of its burst, run once they pause
void RequestResetNow();           // a self-reset: run as soon as the gap between resets allows
// Before a command: runs a requested reset now. 0 = none is waiting (any has run), 1 = one waits
// that may not run yet (the gap since the last reset): the command must wait for it.
int ResetBeforeCommand();

// ---- explain.cpp: the plain line beside a fixed message ----
// "quilmod: PATH: REASON" with strerror(err).
void SayWhy(const char *path, int err);
// The same for a Port value; one that does not start with /dev/ is told how a port is named.
void SayPortWhy(const char *device, int err);

// ---- beep.cpp: touch beep ----
extern int console;
extern volatile sig_atomic_t beep_status;
extern long beep_freq;
// The console tone request; a pointer so that unit tests can watch each request.
extern int (*BeepIoctl)(int fd, unsigned long request, long arg);
void beep_on(long freq);
void beep_off();
void setTimer(double interval);  // one SIGALRM after interval seconds
void kick_beep();
inline void XBEEP() { kick_beep(); }
void beep_timer_routine(int num);
void CheckFrameForBeep(char *frame, int dlen);

// ---- cursor.cpp: cursor hiding ----
extern volatile sig_atomic_t childEnded;  // set by SIGCHLD, acted on by the loop
void CheckFrameForCursor(char *frame, int dlen);
void child_ended_routine(int signo);  // the SIGCHLD handler: sets childEnded
// After each wait: reaps an ended xsetroot (looked at when woken is set) or kills one past its
// time limit, then starts the request that waited for it.
void CursorChildService(int woken);
// The wait's time-out while an xsetroot runs (written into *left), else nullptr: no time-out.
const struct timespec *CursorWaitLimit(struct timespec *left);

// ---- rclick.cpp: right-click tool ----
extern int RClickPid;
extern int MsgPipe[2];
void RClickToolNew(int On);
int RClickToolExist();
void RClickToolKillOld();
void RClickToolOn();
void RClickToolOff();
void undertaker(int dummy);
// 1 while the tool is to be shown: started so, or switched on since. A new tool starts so.
extern int RClickWanted;
void RClickToolDisplayCame();  // the display's socket came: a tool that is not running starts
// After each wait (woken: SIGCHLD may have cut it short): the tool that was still ending when
// the display came anew has ended, and the new display's tool starts.
void RClickToolChildService(int woken);
void RClickReply();            // the long press, the tool and the display, on /dev/qvcmdout

// ---- display.cpp: the X display the right-click tool serves ----
extern int fdDisplayWatch;     // inotify on the display's socket directory, -1 until started
void DisplayWatchStart();      // once; its descriptor joins the select set
void ProcessDisplayWatch();    // reads the watch's events: RClickToolDisplayCame when it came
int DisplaySocketPresent();    // 1 when /tmp/.X11-unix/X0 is a socket
int DisplayAnswers();          // 1 when a server listens on it
