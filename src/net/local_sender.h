#pragma once
#include <cstdint>
#include <vector>

// True when a datagram from `ipv4HostOrder` (host byte order) comes from this
// machine: any loopback address (127.0.0.0/8) or one of `localAddresses`
// (also host byte order). A process id is meaningful only on the machine that
// issued it, so the heartbeat listener drops datagrams from anywhere else;
// otherwise a remote host could refresh a hung program's entry or get a
// healthy one killed.
bool IsLocalSender(std::uint32_t ipv4HostOrder, const std::vector<std::uint32_t>& localAddresses);
