/*
 * A cooperating server as the launcher expects one: it sends a heartbeat
 * every few seconds while it works, and saves and exits when the exit notice
 * arrives.
 *
 *   sample [exit-port [heartbeat-port [heartbeat-address]]]
 *
 * exit-port is 33333 or 33334 (33333 by default); the heartbeat goes to
 * 22225 on 127.0.0.1 unless told otherwise.
 */
#include <stdio.h>
#include <stdlib.h>

#include "morvastel_client.h"

#define HEARTBEAT_EVERY_MS 5000

static void save_work(void) {
  /* A real server writes its state here before it exits. */
  printf("saving and exiting\n");
}

int main(int argc, char** argv) {
  unsigned short exit_port = MORVASTEL_EXIT_PORT_FIRST;
  unsigned short heartbeat_port = MORVASTEL_HEARTBEAT_PORT;
  const char* heartbeat_address = NULL;
  SOCKET listener;
  if (argc > 1) exit_port = (unsigned short)atoi(argv[1]);
  if (argc > 2) heartbeat_port = (unsigned short)atoi(argv[2]);
  if (argc > 3) heartbeat_address = argv[3];

  if (morvastel_startup() != 0) {
    fprintf(stderr, "Winsock did not start\n");
    return 1;
  }
  listener = morvastel_open_exit_listener(exit_port);
  if (listener == INVALID_SOCKET) {
    fprintf(stderr, "cannot listen on port %u: error %d\n", exit_port, WSAGetLastError());
    WSACleanup();
    return 1;
  }
  printf("process %lu: heartbeats to port %u, exit notice on port %u\n",
         (unsigned long)GetCurrentProcessId(), heartbeat_port, exit_port);
  fflush(stdout);

  for (;;) {
    int arrived;
    /* Serve clients here; this sample only keeps the launcher informed. */
    morvastel_heartbeat(heartbeat_port, heartbeat_address);
    /* Waiting for the notice is also the pause between two heartbeats. */
    arrived = morvastel_exit_notice_arrived(listener, HEARTBEAT_EVERY_MS);
    if (arrived == 1) break;
    if (arrived < 0) {
      fprintf(stderr, "exit listener failed: error %d\n", WSAGetLastError());
      break;
    }
  }
  save_work();
  closesocket(listener);
  WSACleanup();
  return 0;
}
