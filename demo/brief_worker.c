/*
 * Demo worker that exits by itself: it works for a few seconds and ends with
 * exit code 3, the way a crashing or finished program leaves. With the rerun
 * option on, the launcher starts it again on its next tick. It sends no
 * heartbeat, so it never counts as hung.
 *
 *   BriefWorker [--exit-after S]     (8 s by default)
 */
#include "demo_common.h"

#define BRIEF_WORKER_EXIT_CODE 3

int main(int argc, char** argv) {
  DemoOptions options;
  int seconds, instance;
  demo_start("BriefWorker", argc, argv, &options);
  seconds = demo_int_option(argc, argv, "--exit-after", 8);
  if (seconds < 0) seconds = 0;
  instance = demo_count_instance();
  demo_log("started (instance %d): will exit by itself in %d s", instance, seconds);
  Sleep((DWORD)seconds * 1000);
  demo_log("exiting by itself with code %d", BRIEF_WORKER_EXIT_CODE);
  return BRIEF_WORKER_EXIT_CODE;
}
