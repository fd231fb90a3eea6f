#pragma once
#include <cstddef>
#include <cstdint>

// The exit notice: the 8 bytes "sdc-exit", no terminating zero, sent to
// 127.0.0.255 on port 33333 and then 33334.
inline constexpr char kExitNotice[8] = {'s', 'd', 'c', '-', 'e', 'x', 'i', 't'};
inline constexpr char kExitNoticeAddress[] = "127.0.0.255";
inline constexpr std::uint16_t kExitNoticePorts[2] = {33333, 33334};
