/*
 * DemoControl: works the launcher's window from outside, for the scripted
 * demo and the reliability run. It finds the dialog of the running
 * Morvastel.exe and does what an operator would do with it.
 *
 *   DemoControl wait S        wait up to S seconds for the window; print its pid
 *   DemoControl state         print button text, visibility and interval box
 *   DemoControl interval N    type N into the detection interval box
 *   DemoControl click         press the start/stop button
 *   DemoControl show          double-click the tray icon (shows the window)
 *   DemoControl front         show the window above every other, kept there
 *                             (topmost) when a window opens later, and give it
 *                             the focus
 *   DemoControl close         close the window (as the close box does)
 *   DemoControl follow        until the window is gone, print a timestamped
 *                             line whenever the button shows a plan start or
 *                             stop or the window is hidden or shown (the demo
 *                             programs' log format). The button is read when
 *                             the launcher's thread is free to answer.
 *
 * Exit status 0 on success, 1 when the window is not there or a step failed,
 * 2 on a usage error. Texts are printed as UTF-8.
 */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The launcher's control ids and tray callback (see src/ui/resource_ids.h). */
#define LAUNCHER_START_STOP 1002
#define LAUNCHER_INTERVAL 1008
#define LAUNCHER_TRAY_NOTIFY (WM_USER + 5)
#define LAUNCHER_TRAY_ICON 128
#define SEND_LIMIT_MS 10000

typedef struct Found {
  HWND window;
  DWORD pid;
} Found;

static int is_launcher_process(DWORD pid) {
  PROCESSENTRY32 entry;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  int match = 0;
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  if (Process32First(snapshot, &entry)) {
    do {
      if (entry.th32ProcessID == pid) {
        match = _stricmp(entry.szExeFile, "Morvastel.exe") == 0;
        break;
      }
    } while (Process32Next(snapshot, &entry));
  }
  CloseHandle(snapshot);
  return match;
}

static BOOL CALLBACK consider(HWND window, LPARAM context) {
  Found* found = (Found*)context;
  char name[64];
  DWORD pid = 0;
  if (GetClassNameA(window, name, (int)sizeof name) == 0 || strcmp(name, "#32770") != 0) return TRUE;
  if (GetDlgItem(window, LAUNCHER_START_STOP) == NULL) return TRUE;
  GetWindowThreadProcessId(window, &pid);
  if (!is_launcher_process(pid)) return TRUE;
  found->window = window;
  found->pid = pid;
  return FALSE;
}

static Found find_launcher(void) {
  Found found = {NULL, 0};
  EnumWindows(consider, (LPARAM)&found);
  return found;
}

/* A control's text, converted from the system code page to UTF-8. */
static void control_text_utf8(HWND control, char* out, int size) {
  char ansi[256];
  WCHAR wide[256];
  DWORD_PTR length = 0;
  out[0] = '\0';
  if (!SendMessageTimeoutA(control, WM_GETTEXT, sizeof ansi, (LPARAM)ansi, SMTO_ABORTIFHUNG,
                           SEND_LIMIT_MS, &length)) {
    return;
  }
  ansi[length < sizeof ansi ? length : sizeof ansi - 1] = '\0';
  if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, 256) == 0) return;
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, NULL, NULL);
}

static int print_state(Found found) {
  char button[256], interval[256];
  control_text_utf8(GetDlgItem(found.window, LAUNCHER_START_STOP), button, sizeof button);
  control_text_utf8(GetDlgItem(found.window, LAUNCHER_INTERVAL), interval, sizeof interval);
  printf("pid %lu button \"%s\" %s interval \"%s\"\n", (unsigned long)found.pid, button,
         IsWindowVisible(found.window) ? "visible" : "hidden", interval);
  return 0;
}

static void event(DWORD pid, const char* text) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  printf("%04u-%02u-%02u %02u:%02u:%02u.%03u Morvastel pid %lu | %s\n", now.wYear, now.wMonth, now.wDay,
         now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, (unsigned long)pid, text);
  fflush(stdout);
}

/* Polls the start/stop button's text and the window's visibility. */
static int follow(Found found) {
  /* "停止方案" in GBK: the button's text while a plan runs. */
  static const char kStopPlan[] = "\xcd\xa3\xd6\xb9\xb7\xbd\xb0\xb8";
  int running = -1, visible = -1;
  event(found.pid, "window: followed from now on");
  while (IsWindow(found.window)) {
    char text[64];
    DWORD_PTR length = 0;
    int now_running, now_visible = IsWindowVisible(found.window) ? 1 : 0;
    if (SendMessageTimeoutA(GetDlgItem(found.window, LAUNCHER_START_STOP), WM_GETTEXT, sizeof text,
                            (LPARAM)text, SMTO_ABORTIFHUNG, SEND_LIMIT_MS, &length)) {
      text[length < sizeof text ? length : sizeof text - 1] = '\0';
      now_running = strcmp(text, kStopPlan) == 0;
      if (running == -1) event(found.pid, now_running ? "window: plan running" : "window: idle");
      else if (now_running != running) event(found.pid, now_running ? "window: plan running" : "window: plan stopped");
      running = now_running;
    }
    if (now_visible != visible && visible != -1) event(found.pid, now_visible ? "window: shown" : "window: hidden");
    visible = now_visible;
    Sleep(50);
  }
  event(found.pid, "window: closed");
  return 0;
}

static int send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, SEND_LIMIT_MS,
                             &result) != 0;
}

int main(int argc, char** argv) {
  Found found;
  /* Plain LF line ends: the lines are read by scripts on the build machine. */
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) goto usage;

  if (strcmp(argv[1], "wait") == 0 && argc == 3) {
    const DWORD limit = (DWORD)(atof(argv[2]) * 1000);
    const DWORD start = GetTickCount();
    for (;;) {
      found = find_launcher();
      if (found.window != NULL) {
        printf("%lu\n", (unsigned long)found.pid);
        return 0;
      }
      if (GetTickCount() - start >= limit) break;
      Sleep(100);
    }
    fprintf(stderr, "DemoControl: no launcher window within %s s\n", argv[2]);
    return 1;
  }

  found = find_launcher();
  if (found.window == NULL) {
    fprintf(stderr, "DemoControl: no launcher window\n");
    return 1;
  }
  if (strcmp(argv[1], "state") == 0 && argc == 2) return print_state(found);
  if (strcmp(argv[1], "interval") == 0 && argc == 3) {
    /* Setting the text raises the box's change notification, as typing does. */
    if (!send(GetDlgItem(found.window, LAUNCHER_INTERVAL), WM_SETTEXT, 0, (LPARAM)argv[2])) return 1;
    return print_state(found);
  }
  if (strcmp(argv[1], "click") == 0 && argc == 2) {
    if (!send(GetDlgItem(found.window, LAUNCHER_START_STOP), BM_CLICK, 0, 0)) return 1;
    return print_state(found);
  }
  if (strcmp(argv[1], "show") == 0 && argc == 2) {
    if (!send(found.window, LAUNCHER_TRAY_NOTIFY, LAUNCHER_TRAY_ICON, WM_LBUTTONDBLCLK)) return 1;
    return print_state(found);
  }
  if (strcmp(argv[1], "front") == 0 && argc == 2) {
    /* Topmost: a console window that opens later still opens below it. */
    if (!SetWindowPos(found.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW)) return 1;
    SetForegroundWindow(found.window);
    return print_state(found);
  }
  if (strcmp(argv[1], "follow") == 0 && argc == 2) return follow(found);
  if (strcmp(argv[1], "close") == 0 && argc == 2) {
    return PostMessageA(found.window, WM_CLOSE, 0, 0) ? 0 : 1;
  }

usage:
  fputs("usage: DemoControl wait S | state | interval N | click | show | front | close | follow\n", stderr);
  return 2;
}
