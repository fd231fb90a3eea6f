/*
 * Demo server: a cooperating server as the launcher expects one. It sends a
 * heartbeat every few seconds and, when the exit notice arrives, saves its
 * state to NAME-save.txt in its run directory and exits with code 0.
 *
 * Built twice, under two of the names that a stop with the exit notice
 * spares: Malvoryn.exe listens for the notice on port 33333, Corvellinex.exe
 * on port 33334 (each port takes one listener).
 *
 *   Malvoryn [--port N] [--address A] [--exit-port P] [--beat-every S]
 */
#include "demo_common.h"

#ifndef DEMO_SERVER_NAME
#define DEMO_SERVER_NAME "Malvoryn"
#endif
#ifndef DEMO_EXIT_PORT
#define DEMO_EXIT_PORT MORVASTEL_EXIT_PORT_FIRST
#endif

/* Writes the state to a temporary file, then puts it in place in one step,
   so that a save cut short never leaves half a file behind. */
static int save_state(unsigned long heartbeats, unsigned long long uptime_ms) {
  char path[MAX_PATH], temporary[MAX_PATH];
  SYSTEMTIME now;
  FILE* file;
  int ok;
  snprintf(path, sizeof path, "%s-save.txt", demo_name);
  snprintf(temporary, sizeof temporary, "%s-save.tmp", demo_name);
  file = fopen(temporary, "w");
  if (file == NULL) return 0;
  GetLocalTime(&now);
  fprintf(file, "saved %04u-%02u-%02u %02u:%02u:%02u by pid %lu\nheartbeats %lu\nuptime_ms %llu\n",
          now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
          (unsigned long)GetCurrentProcessId(), heartbeats, uptime_ms);
  ok = fflush(file) == 0;
  ok = fclose(file) == 0 && ok;
  return ok && MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING) != 0;
}

int main(int argc, char** argv) {
  DemoOptions options;
  unsigned short exit_port;
  unsigned long beat_every_ms, heartbeats = 0;
  ULONGLONG started = GetTickCount64();
  SOCKET listener;
  int instance;

  demo_start(DEMO_SERVER_NAME, argc, argv, &options);
  exit_port = (unsigned short)demo_int_option(argc, argv, "--exit-port", DEMO_EXIT_PORT);
  beat_every_ms = (unsigned long)demo_int_option(argc, argv, "--beat-every", 5) * 1000;
  instance = demo_count_instance();
  demo_log("started (instance %d)", instance);
  if (morvastel_startup() != 0) {
    demo_log("Winsock did not start");
    return 1;
  }
  listener = morvastel_open_exit_listener(exit_port);
  if (listener == INVALID_SOCKET) {
    demo_log("cannot listen for the exit notice on port %u (error %d): is another program on it?",
             exit_port, WSAGetLastError());
    WSACleanup();
    return 1;
  }
  demo_log("heartbeat every %lu s to %s:%u, exit notice on port %u", beat_every_ms / 1000,
           options.address, options.port, exit_port);

  for (;;) {
    int arrived;
    demo_heartbeat(&options);
    ++heartbeats;
    /* The wait for the notice is also the pause between two heartbeats. */
    arrived = morvastel_exit_notice_arrived(listener, beat_every_ms);
    if (arrived == 1) break;
    if (arrived < 0) {
      demo_log("exit listener failed (error %d); exiting without saving", WSAGetLastError());
      closesocket(listener);
      WSACleanup();
      return 1;
    }
  }
  demo_log("exit notice received after %lu heartbeats; saving", heartbeats);
  if (!save_state(heartbeats, GetTickCount64() - started)) {
    demo_log("saving to %s-save.txt FAILED", demo_name);
    closesocket(listener);
    WSACleanup();
    return 2;
  }
  demo_log("saved to %s-save.txt; exiting with code 0", demo_name);
  closesocket(listener);
  WSACleanup();
  return 0;
}
