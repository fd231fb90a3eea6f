/*
 * demo_common.h: what the demo programs share. Each one writes what it does
 * to its console and, one line at a time, to NAME.log in its run directory
 * (the working directory the launcher gives it), so that a run can be told
 * afterwards from the logs alone:
 *
 *   2024-05-01 10:00:03.250 BriefWorker pid 36 | started (instance 2)
 *
 * Common options: --port N (heartbeat port, 22225 by default) and
 * --address A (heartbeat address, 127.0.0.1 by default).
 */
#ifndef MORVASTEL_DEMO_COMMON_H
#define MORVASTEL_DEMO_COMMON_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "morvastel_client.h"

typedef struct DemoOptions {
  unsigned short port;
  const char* address;
} DemoOptions;

static const char* demo_name = "demo";
static FILE* demo_log_file = NULL;

/* Writes one timestamped line to the console and to the log file. */
static inline void demo_log(const char* format, ...) {
  SYSTEMTIME now;
  char text[512];
  char line[640];
  va_list args;
  GetLocalTime(&now);
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u.%03u %s pid %lu | %s\n",
           now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
           now.wMilliseconds, demo_name, (unsigned long)GetCurrentProcessId(), text);
  fputs(line, stdout);
  fflush(stdout);
  if (demo_log_file != NULL) {
    fputs(line, demo_log_file);
    fflush(demo_log_file);
  }
}

/*
 * Counts this program's starts in NAME.count in the run directory and
 * returns this start's number (1 for the first). Lets the log say which
 * instance speaks after relaunches.
 */
static inline int demo_count_instance(void) {
  char path[MAX_PATH];
  int count = 0;
  FILE* file;
  snprintf(path, sizeof path, "%s.count", demo_name);
  file = fopen(path, "r");
  if (file != NULL) {
    if (fscanf(file, "%d", &count) != 1) count = 0;
    fclose(file);
  }
  ++count;
  file = fopen(path, "w");
  if (file != NULL) {
    fprintf(file, "%d\n", count);
    fclose(file);
  }
  return count;
}

/* Opens NAME.log for appending and reads the common options. */
static inline void demo_start(const char* name, int argc, char** argv, DemoOptions* options) {
  char path[MAX_PATH];
  int i;
  demo_name = name;
  snprintf(path, sizeof path, "%s.log", name);
  demo_log_file = fopen(path, "a");
  options->port = MORVASTEL_HEARTBEAT_PORT;
  options->address = "127.0.0.1";
  for (i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--port") == 0) options->port = (unsigned short)atoi(argv[i + 1]);
    if (strcmp(argv[i], "--address") == 0) options->address = argv[i + 1];
  }
}

/* The value after `option` on the command line, or `fallback`. */
static inline int demo_int_option(int argc, char** argv, const char* option, int fallback) {
  int i;
  for (i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], option) == 0) return atoi(argv[i + 1]);
  }
  return fallback;
}

/* One heartbeat; a failure is logged, since the launcher will then act on it. */
static inline void demo_heartbeat(const DemoOptions* options) {
  if (morvastel_heartbeat(options->port, options->address) != 0) {
    demo_log("heartbeat to %s:%u failed: error %d", options->address, options->port,
             WSAGetLastError());
  }
}

#endif /* MORVASTEL_DEMO_COMMON_H */
