#include "net/local_sender.h"

#include <algorithm>

bool IsLocalSender(std::uint32_t ipv4HostOrder, const std::vector<std::uint32_t>& localAddresses) {
  if ((ipv4HostOrder >> 24) == 127) return true;
  return std::find(localAddresses.begin(), localAddresses.end(), ipv4HostOrder) !=
         localAddresses.end();
}

void LocalAddresses::Set(std::optional<std::vector<std::uint32_t>> addresses, std::vector<std::uint32_t> pinned) {
  if (addresses) list_ = std::move(*addresses);
  pinned_ = std::move(pinned);
  for (const std::uint32_t address : pinned_) {
    if (std::find(list_.begin(), list_.end(), address) == list_.end()) list_.push_back(address);
  }
  readAt_ = clock_();
}

bool LocalAddresses::IsLocal(std::uint32_t ipv4HostOrder) {
  if (IsLocalSender(ipv4HostOrder, list_)) return true;
  // Unsigned difference: correct across the clock's wrap.
  if (clock_() - readAt_ < kRefreshSeconds) return false;
  Set(query_(), std::move(pinned_));
  return IsLocalSender(ipv4HostOrder, list_);
}
