#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The values that configure one run: from defaults, the command line and the
// launch list's header lines. The dialog font lives with the application
// object (it is a Windows handle), not here.
struct Settings {
  std::string bindAddress;            // empty: all local addresses
  std::uint16_t port = 22225;         // heartbeat port
  std::string windowTitle;            // empty: the template's caption stays
  std::string listPath = kDefaultListPath;
  // What the launcher reports about itself; each is off while empty.
  std::string journalPath;  // /l: the journal file
  std::string metricsPath;  // /m: the metrics file
  std::string dumpFolder;   // /d: where minidumps of hung programs go

  static constexpr const char* kDefaultListPath = "Morvastel.list";
};

// Applies the command line to the settings. `args` is the argument vector
// without the program name. Returns how many times the automatic start was
// armed ("/r" or "-r"); the caller arms its timer that many times.
int ApplyCommandLine(const std::vector<std::string>& args, Settings& settings);
