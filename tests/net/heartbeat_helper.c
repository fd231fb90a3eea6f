/* Sends one heartbeat with the client header: heartbeat_helper PORT [ADDRESS].
   Exits with 0 when it was sent. */
#include <stdlib.h>

#include "morvastel_client.h"

int main(int argc, char** argv) {
  int result;
  if (argc < 2 || morvastel_startup() != 0) return 2;
  result = morvastel_heartbeat((unsigned short)atoi(argv[1]), argc > 2 ? argv[2] : NULL);
  WSACleanup();
  return result == 0 ? 0 : 1;
}
