/* A cooperating server's side of the exit notice, with the client header:
   exit_listener_helper PORT READY-EVENT. Listens on PORT, sets the named
   event once it listens, and exits with 0 when the notice arrives, 1 when it
   does not within 10 s, 2 on any failure. */
#include <stdlib.h>

#include "morvastel_client.h"

int main(int argc, char** argv) {
  SOCKET listener;
  HANDLE ready;
  int arrived;
  if (argc < 3 || morvastel_startup() != 0) return 2;
  listener = morvastel_open_exit_listener((unsigned short)atoi(argv[1]));
  if (listener == INVALID_SOCKET) return 2;
  ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (ready == NULL) return 2;
  SetEvent(ready);
  CloseHandle(ready);
  arrived = morvastel_exit_notice_arrived(listener, 10000);
  closesocket(listener);
  WSACleanup();
  return arrived == 1 ? 0 : arrived == 0 ? 1 : 2;
}
