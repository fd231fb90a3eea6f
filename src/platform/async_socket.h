#pragma once
// Asynchronous sockets on plain Winsock: each socket's network events arrive
// as window messages on the thread that created it and are passed to the
// socket's virtual handlers. Any message loop on that thread drives them (the
// main dialog's modal loop does); nothing is locked and nothing blocks.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

// Brings up Windows Sockets 1.1. False when the socket layer is unavailable;
// the caller reports that and does not go on.
bool StartSocketLayer();

class AsyncSocket {
 public:
  AsyncSocket() = default;
  virtual ~AsyncSocket();
  AsyncSocket(const AsyncSocket&) = delete;
  AsyncSocket& operator=(const AsyncSocket&) = delete;

  // Creates a socket of `type`, binds it to `port` (0: one the platform
  // picks) on `address` (nullptr or "": all local addresses; otherwise a
  // dotted IPv4 address as inet_addr reads it) and registers it for all six
  // network events (read, write, out-of-band data, accept, connect, close).
  // False, with nothing left open, when any step fails or the socket is
  // already open.
  bool Create(unsigned port, int type = SOCK_DGRAM, const char* address = nullptr);

  // The Winsock calls on this socket; SOCKET_ERROR when it is not open.
  int SendTo(const void* data, int length, const sockaddr* to, int toLength, int flags = 0);
  int ReceiveFrom(void* buffer, int length, sockaddr* from, int* fromLength, int flags = 0);
  bool SetSockOpt(int option, const void* value, int length, int level = SOL_SOCKET);

  // Closes the socket; no handler of this object runs afterwards, even for
  // events that were already queued. Harmless when not open.
  void Close();

  bool IsOpen() const { return socket_ != INVALID_SOCKET; }
  SOCKET Handle() const { return socket_; }
  // The bound local port, 0 when not open.
  std::uint16_t LocalPort() const;

 protected:
  // Network event handlers, called on the creating thread with the event's
  // error code. The defaults do nothing.
  virtual void OnReceive(int error);
  virtual void OnSend(int error);
  virtual void OnOutOfBandData(int error);
  virtual void OnAccept(int error);
  virtual void OnConnect(int error);
  virtual void OnClose(int error);

 private:
  friend struct SocketLayer;
  SOCKET socket_ = INVALID_SOCKET;
  struct SocketLayer* layer_ = nullptr;  // the creating thread's dispatcher
};
