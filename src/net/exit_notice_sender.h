#pragma once
// Sends the exit notice that asks the cooperating servers to save and exit.
#include "net/exit_notice.h"
#include "platform/async_socket.h"

class ExitNoticeSender {
 public:
  ExitNoticeSender();

  // Sends the 8 notice bytes to 127.0.0.255 port 33333 and then port 33334,
  // from two sockets created on the first call. Fire and forget: no result,
  // nothing retried, and a failed creation is not tried again.
  void Broadcast();

  // 0 before the first Broadcast, 1 from then on.
  int CreatedCount() const { return created_; }

 private:
  int created_ = 0;
  int destinationLength_[2];
  sockaddr_in destination_[2];
  AsyncSocket sockets_[2];
};
