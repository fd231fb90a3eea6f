// The helper a stop of the launcher starts for the programs it asks to
// close ("morvastelctrlc /ctrl-c PID [PID...]"): Ctrl-C on each program's
// console, and one character per program on its standard output saying how
// that went (platform/console_ctrl.h). It needs nothing but the kernel, so
// that it starts in a fraction of the launcher's time, which loads its
// windowing libraries too.
// Exit code: the worst outcome, 0 when every keystroke went out, 1 when a
// sending failed, 2 when a program has no console (or is gone); 3 when the
// arguments are not "/ctrl-c" and up to 64 process ids.
#include <windows.h>

#include "platform/console_ctrl.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return RunCtrlCHelper(::GetCommandLineW()); }
