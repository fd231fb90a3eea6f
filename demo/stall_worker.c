/*
 * Demo worker that hangs: it sends a heartbeat every 2 s for a while, then
 * stops sending but keeps running, as a program stuck in a loop or a dead
 * lock would. The launcher kills it (exit code 111) once the silence is
 * longer than the detection interval, and starts it again. It never exits by
 * itself, so every later instance follows a kill.
 *
 * When it falls silent it notes the time in StallWorker.silent; the next
 * instance reports how long the launcher took to replace it.
 *
 *   StallWorker [--port N] [--address A] [--beat-for S]     (10 s by default)
 */
#include "demo_common.h"

#define BEAT_EVERY_MS 2000

static const char kSilentFile[] = "StallWorker.silent";

/* Seconds since the previous instance fell silent, or -1 when unknown. */
static long long seconds_since_previous_silence(void) {
  FILE* file = fopen(kSilentFile, "r");
  unsigned long long then = 0;
  FILETIME now;
  ULARGE_INTEGER ticks;
  int read;
  if (file == NULL) return -1;
  read = fscanf(file, "%llu", &then);
  fclose(file);
  DeleteFileA(kSilentFile);
  if (read != 1) return -1;
  GetSystemTimeAsFileTime(&now);
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  return (long long)(ticks.QuadPart / 10000000ULL) - (long long)then;
}

static void note_silence(void) {
  FILETIME now;
  ULARGE_INTEGER ticks;
  FILE* file = fopen(kSilentFile, "w");
  if (file == NULL) return;
  GetSystemTimeAsFileTime(&now);
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  fprintf(file, "%llu\n", ticks.QuadPart / 10000000ULL);
  fclose(file);
}

int main(int argc, char** argv) {
  DemoOptions options;
  int beat_for, instance, beats, sent;
  long long replaced_after;
  demo_start("StallWorker", argc, argv, &options);
  beat_for = demo_int_option(argc, argv, "--beat-for", 10);
  if (beat_for < 0) beat_for = 0;
  beats = beat_for * 1000 / BEAT_EVERY_MS + 1;
  instance = demo_count_instance();
  replaced_after = seconds_since_previous_silence();
  if (replaced_after >= 0) {
    demo_log("started (instance %d): the previous instance was silent for %lld s before this start",
             instance, replaced_after);
  } else {
    demo_log("started (instance %d)", instance);
  }
  if (morvastel_startup() != 0) {
    demo_log("Winsock did not start");
    return 1;
  }
  demo_log("heartbeat every %d s to %s:%u for %d s, then silence", BEAT_EVERY_MS / 1000,
           options.address, options.port, beat_for);
  for (sent = 0; sent < beats; ++sent) {
    if (sent > 0) Sleep(BEAT_EVERY_MS);
    demo_heartbeat(&options);
  }
  note_silence();
  demo_log("last heartbeat sent; hanging now (still running, no more heartbeats)");
  for (;;) Sleep(INFINITE);
}
