/*
 * morvastel_client.h: what a supervised program needs to take part in
 * Morvastel's supervision, in one header for C and C++ on Windows.
 *
 *   Heartbeats: send morvastel_heartbeat() more often than the launcher's
 *   detection interval (15 to 120 s, 60 by default). The first heartbeat
 *   starts the watch; a longer silence gets the program killed as hung.
 *
 *   Exit notice: a cooperating server opens a listener on port 33333 or
 *   33334 and, when the notice arrives, saves its work and exits by itself.
 *   The notice goes to 127.0.0.255, which the loopback network delivers like
 *   any single address: one datagram reaches one socket. So each port has one
 *   listener; a second program that tries the same port is refused at once
 *   rather than sharing the port and silently missing notices.
 *
 * Winsock only; every function is static inline. Call WSAStartup (or
 * morvastel_startup) before anything else and link ws2_32.
 */
#ifndef MORVASTEL_CLIENT_H
#define MORVASTEL_CLIENT_H

#include <winsock2.h>
#include <windows.h>
#include <string.h>

#if defined(_MSC_VER)
#pragma comment(lib, "ws2_32.lib")
#endif

#if defined(_MSC_VER) && !defined(__cplusplus)
#define MORVASTEL_INLINE static __inline
#else
#define MORVASTEL_INLINE static inline
#endif

#define MORVASTEL_HEARTBEAT_PORT 22225
#define MORVASTEL_EXIT_PORT_FIRST 33333
#define MORVASTEL_EXIT_PORT_SECOND 33334
#define MORVASTEL_EXIT_NOTICE "sdc-exit"
#define MORVASTEL_EXIT_NOTICE_LENGTH 8

/* Starts Winsock 2.2. Returns 0 on success, the WSAStartup error otherwise. */
MORVASTEL_INLINE int morvastel_startup(void) {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

/*
 * Sends one heartbeat: this process's id as 4 little-endian bytes, to `port`
 * on `address` (dotted IPv4; NULL or "" means 127.0.0.1). Use the launcher's
 * heartbeat port (22225 unless configured otherwise) and, when the launcher
 * binds to one address, that address. Returns 0 when the datagram was sent,
 * -1 otherwise (WSAGetLastError tells why).
 */
MORVASTEL_INLINE int morvastel_heartbeat(unsigned short port, const char* address) {
  struct sockaddr_in to;
  unsigned char payload[4];
  DWORD id = GetCurrentProcessId();
  SOCKET s;
  int sent;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = inet_addr(address != NULL && address[0] != '\0' ? address : "127.0.0.1");
  if (to.sin_addr.s_addr == INADDR_NONE) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  payload[0] = (unsigned char)(id & 0xFF);
  payload[1] = (unsigned char)((id >> 8) & 0xFF);
  payload[2] = (unsigned char)((id >> 16) & 0xFF);
  payload[3] = (unsigned char)((id >> 24) & 0xFF);
  s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return -1;
  sent = sendto(s, (const char*)payload, 4, 0, (const struct sockaddr*)&to, (int)sizeof to);
  closesocket(s);
  return sent == 4 ? 0 : -1;
}

/*
 * Opens a socket that receives the exit notice on `port` (33333 or 33334),
 * bound to all local addresses and held exclusively: only one socket receives
 * each notice, so a port another program already listens on is refused.
 * Returns INVALID_SOCKET on failure (WSAGetLastError tells why). Close it with
 * closesocket.
 */
MORVASTEL_INLINE SOCKET morvastel_open_exit_listener(unsigned short port) {
  struct sockaddr_in local;
  BOOL on = TRUE;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
#ifdef SO_EXCLUSIVEADDRUSE
  /* Keeps a later socket with SO_REUSEADDR from taking the notices over.
     Where the option is unknown, the plain bind below still refuses a port
     in use. */
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&on, (int)sizeof on);
#else
  (void)on;
#endif
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s, (const struct sockaddr*)&local, (int)sizeof local) != 0) {
    int error = WSAGetLastError();
    closesocket(s);
    WSASetLastError(error);
    return INVALID_SOCKET;
  }
  return s;
}

/*
 * Waits up to `timeout_ms` milliseconds (0: only looks) for the exit notice on
 * a listener from morvastel_open_exit_listener. Other datagrams on the port
 * are read and ignored. Returns 1 when the notice arrived, 0 when it did not
 * within the time, -1 on a socket error.
 */
MORVASTEL_INLINE int morvastel_exit_notice_arrived(SOCKET listener, unsigned long timeout_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    char buffer[MORVASTEL_EXIT_NOTICE_LENGTH + 1];
    fd_set readable;
    struct timeval wait;
    /* Unsigned difference: right across the tick count's wrap-around. */
    DWORD elapsed = GetTickCount() - start;
    unsigned long left = elapsed < timeout_ms ? timeout_ms - elapsed : 0;
    int ready, received;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    wait.tv_sec = (long)(left / 1000);
    wait.tv_usec = (long)(left % 1000) * 1000;
    ready = select(0, &readable, NULL, NULL, &wait);
    if (ready == SOCKET_ERROR) return -1;
    if (ready == 0) return 0;
    /* One byte more than the notice, so that a longer datagram is told apart. */
    received = recv(listener, buffer, (int)sizeof buffer, 0);
    if (received == MORVASTEL_EXIT_NOTICE_LENGTH &&
        memcmp(buffer, MORVASTEL_EXIT_NOTICE, MORVASTEL_EXIT_NOTICE_LENGTH) == 0) {
      return 1;
    }
    if (received == SOCKET_ERROR) {
      int error = WSAGetLastError();
      /* A longer datagram, or a stale error report: neither is the notice. */
      if (error != WSAEMSGSIZE && error != WSAECONNRESET) return -1;
    }
  }
}

#endif /* MORVASTEL_CLIENT_H */
