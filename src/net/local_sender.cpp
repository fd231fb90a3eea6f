#include "net/local_sender.h"

#include <algorithm>

bool IsLocalSender(std::uint32_t ipv4HostOrder, const std::vector<std::uint32_t>& localAddresses) {
  if ((ipv4HostOrder >> 24) == 127) return true;
  return std::find(localAddresses.begin(), localAddresses.end(), ipv4HostOrder) !=
         localAddresses.end();
}
