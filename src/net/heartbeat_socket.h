#pragma once
// The heartbeat listener: a datagram socket whose every 4-byte datagram from
// this machine refreshes the sender's process id in the liveness table.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/liveness_table.h"
#include "net/local_sender.h"
#include "platform/async_socket.h"
#include "report/drop_tally.h"

class HeartbeatSocket : public AsyncSocket {
 public:
  // Dropped datagrams are counted in `drops`, when given.
  explicit HeartbeatSocket(LivenessTable& table, DropTally* drops = nullptr);

  // Binds to `port` on `bindAddress` (a dotted IPv4 address of this machine;
  // empty: all local addresses). False when the address is not one, the port
  // is taken or the socket layer is down; the caller goes on without a
  // listener. Also takes note of this machine's own IPv4 addresses, so that
  // each datagram's sender can be checked without asking the system again
  // (it asks again, now and then, when a sender is not among them).
  bool Open(const std::string& bindAddress, std::uint16_t port);

  // Heartbeats taken into the table since the launcher started.
  std::uint64_t heard() const { return heard_; }

  // This machine's IPv4 addresses (host byte order) as last noted.
  const std::vector<std::uint32_t>& LocalAddresses() const { return localAddresses_.List(); }

 protected:
  // Receives one datagram. Only exactly 4 bytes from a sender on this machine
  // count; anything else is dropped and the table stays as it was.
  void OnReceive(int error) override;

 private:
  LivenessTable& table_;
  DropTally* drops_;
  std::uint64_t heard_ = 0;
  sockaddr_in sender_{};
  int senderLength_ = sizeof(sockaddr_in);
  unsigned char buffer_[4] = {};
  ::LocalAddresses localAddresses_;
};

// Whole seconds of the machine's awake time: the clock of the liveness
// table, which setting the wall clock does not move and sleep does not advance.
std::uint32_t MonotonicSeconds();

// This machine's IPv4 unicast addresses in host byte order, loopback
// excluded; nothing when the system cannot tell.
std::optional<std::vector<std::uint32_t>> QueryLocalIpv4Addresses();
