#include "net/heartbeat_socket.h"

#include "platform/awake_clock.h"

// iphlpapi needs the full Winsock and Windows headers before its own.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "net/local_sender.h"

std::uint32_t MonotonicSeconds() { return static_cast<std::uint32_t>(AwakeMilliseconds() / 1000); }

std::optional<std::vector<std::uint32_t>> QueryLocalIpv4Addresses() {
  std::vector<std::uint32_t> result;
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> storage;
  ULONG status = ERROR_BUFFER_OVERFLOW;
  // The list can grow between the size query and the call; a few rounds settle it.
  for (int round = 0; round < 4 && status == ERROR_BUFFER_OVERFLOW; ++round) {
    storage.resize(size);
    status = GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
  }
  if (status == ERROR_NO_DATA) return result;  // no adapter: loopback alone
  if (status != NO_ERROR) return std::nullopt;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()); adapter != nullptr;
       adapter = adapter->Next) {
    for (IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const SOCKADDR* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
      const std::uint32_t hostOrder = ntohl(ipv4->sin_addr.s_addr);
      if ((hostOrder >> 24) == 127) continue;  // loopback is accepted as a whole
      if (std::find(result.begin(), result.end(), hostOrder) == result.end()) {
        result.push_back(hostOrder);
      }
    }
  }
  return result;
}

HeartbeatSocket::HeartbeatSocket(LivenessTable& table, DropTally* drops)
    : table_(table), drops_(drops), localAddresses_(&QueryLocalIpv4Addresses, &MonotonicSeconds) {}

bool HeartbeatSocket::Open(const std::string& bindAddress, std::uint16_t port) {
  std::optional<std::vector<std::uint32_t>> local = QueryLocalIpv4Addresses();
  std::vector<std::uint32_t> pinned;
  if (!bindAddress.empty()) {
    const unsigned long parsed = inet_addr(bindAddress.c_str());
    if (parsed == INADDR_NONE) {
      WSASetLastError(WSAEINVAL);
      return false;
    }
    // Only an address of this machine will do. Windows' bind refuses any
    // other, but not every Winsock does (Wine 8 binds a datagram socket to all
    // addresses instead), so the listener checks for itself; when the system
    // cannot list its addresses, bind alone decides.
    const std::uint32_t bound = ntohl(parsed);
    if (local && !local->empty() && !IsLocalSender(bound, *local)) {
      WSASetLastError(WSAEADDRNOTAVAIL);
      return false;
    }
    pinned.push_back(bound);
  }
  if (!Create(port, SOCK_DGRAM, bindAddress.empty() ? nullptr : bindAddress.c_str())) {
    return false;
  }
  localAddresses_.Set(std::move(local), std::move(pinned));
  return true;
}

void HeartbeatSocket::OnReceive(int) {
  // The event's error code does not matter: a receive is always attempted,
  // and it is what takes the datagram off the queue.
  std::memset(&sender_, 0, sizeof sender_);
  senderLength_ = sizeof sender_;
  const int received =
      ReceiveFrom(buffer_, sizeof buffer_, reinterpret_cast<sockaddr*>(&sender_), &senderLength_, 0);
  // Shorter datagrams and longer ones (WSAEMSGSIZE) end here; so do
  // errors, which are no datagram and are not counted.
  if (received != static_cast<int>(sizeof buffer_)) {
    if (drops_ && (received >= 0 || WSAGetLastError() == WSAEMSGSIZE)) drops_->Dropped(true);
    return;
  }
  if (senderLength_ < static_cast<int>(sizeof sender_) || sender_.sin_family != AF_INET ||
      !localAddresses_.IsLocal(ntohl(sender_.sin_addr.s_addr))) {
    if (drops_) drops_->Dropped(false);
    return;
  }
  // The process id travels little-endian.
  const std::uint32_t processId = static_cast<std::uint32_t>(buffer_[0]) |
                                  static_cast<std::uint32_t>(buffer_[1]) << 8 |
                                  static_cast<std::uint32_t>(buffer_[2]) << 16 |
                                  static_cast<std::uint32_t>(buffer_[3]) << 24;
  table_.Heard(processId);
  ++heard_;
}
