#include "net/exit_notice_sender.h"

ExitNoticeSender::ExitNoticeSender() {
  for (int i = 0; i < 2; ++i) {
    destinationLength_[i] = sizeof(sockaddr_in);
    destination_[i] = sockaddr_in{};
  }
}

void ExitNoticeSender::Broadcast() {
  if (created_ == 0) {
    for (int i = 0; i < 2; ++i) {
      sockets_[i].Create(0, SOCK_DGRAM, nullptr);
      destination_[i].sin_family = AF_INET;
      destination_[i].sin_port = htons(kExitNoticePorts[i]);
      destination_[i].sin_addr.s_addr = inet_addr(kExitNoticeAddress);
      const BOOL allow = TRUE;
      sockets_[i].SetSockOpt(SO_BROADCAST, &allow, sizeof allow, SOL_SOCKET);
    }
    ++created_;
  }
  // Port 33333 first, then 33334.
  for (int i = 0; i < 2; ++i) {
    sockets_[i].SendTo(kExitNotice, sizeof kExitNotice,
                       reinterpret_cast<const sockaddr*>(&destination_[i]), destinationLength_[i],
                       0);
  }
}
