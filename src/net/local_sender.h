#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// True when a datagram from `ipv4HostOrder` (host byte order) comes from this
// machine: any loopback address (127.0.0.0/8) or one of `localAddresses`
// (also host byte order). A process id is meaningful only on the machine that
// issued it, so the heartbeat listener drops datagrams from anywhere else;
// otherwise a remote host could refresh a hung program's entry or get a
// healthy one killed.
bool IsLocalSender(std::uint32_t ipv4HostOrder, const std::vector<std::uint32_t>& localAddresses);

// This machine's own IPv4 addresses as the listener knows them. A machine
// gains addresses while it runs (a new adapter, a changed lease); a sender
// that is not in the list makes it read the addresses again, at most once
// every kRefreshSeconds, so a program sending to a new address of this machine
// is heard within seconds, and a flood from another host costs one query now
// and then, never one per datagram. A reading that fails keeps the last good
// list: a passing failure of the system's query must not turn this machine's
// own programs into strangers whose heartbeats are dropped.
class LocalAddresses {
 public:
  // A reading of the addresses; nothing when the system could not tell.
  using Query = std::function<std::optional<std::vector<std::uint32_t>>()>;
  using Clock = std::function<std::uint32_t()>;  // whole seconds, monotonic
  static constexpr std::uint32_t kRefreshSeconds = 5;

  LocalAddresses(Query query, Clock clock) : query_(std::move(query)), clock_(std::move(clock)) {}

  // Takes `addresses` as the list read just now (nothing: the reading
  // failed, and the list stays as it was); `pinned` (a bound address, or
  // none) stays in the list through every later reading.
  void Set(std::optional<std::vector<std::uint32_t>> addresses, std::vector<std::uint32_t> pinned);
  // IsLocalSender against the list, read again first when the sender is not
  // in it and the last reading is old enough.
  bool IsLocal(std::uint32_t ipv4HostOrder);

  const std::vector<std::uint32_t>& List() const { return list_; }

 private:
  Query query_;
  Clock clock_;
  std::vector<std::uint32_t> list_;
  std::vector<std::uint32_t> pinned_;
  std::uint32_t readAt_ = 0;
};
