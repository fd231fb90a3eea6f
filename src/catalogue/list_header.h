#pragma once
#include <cstdint>
#include <string>

// What a launch list's header lines set (/n, /p, /i), with the values a run
// starts from before any header line or command line is read. The launcher's
// settings extend these; the list reader and the list checker know only
// these.
struct ListHeader {
  static constexpr std::uint16_t kDefaultPort = 22225;

  std::string bindAddress;             // /i; empty: all local addresses
  std::uint16_t port = kDefaultPort;   // /p: heartbeat port
  std::string windowTitle;             // /n; empty: the template's caption stays
};
