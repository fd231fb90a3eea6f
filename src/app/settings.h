#pragma once
#include <string>
#include <vector>

#include "catalogue/list_header.h"
#include "text/command_line.h"

// The values that configure one run: from defaults, the command line and the
// launch list's header lines (the title, port and bind address: the
// ListHeader that the list reader fills). The dialog font lives with the
// application object (it is a Windows handle), not here.
//
// The texts are GBK like every other text, but the four paths stay in the
// command line's UTF-16 up to the file calls: a folder named with characters
// GBK lacks (a Korean name, an umlaut in a user name) is still the folder the
// operator gave.
struct Settings : ListHeader {
  std::u16string listPath = kDefaultListPath;
  // What the launcher reports about itself; each is off while empty.
  std::u16string journalPath;  // /l: the journal file
  std::u16string metricsPath;  // /m: the metrics file
  std::u16string dumpFolder;   // /d: where minidumps of hung programs go

  // How this run goes: a launcher on the desktop, or as the service manager
  // runs it (/service), or registering (/install) or removing (/uninstall)
  // its service and then ending.
  enum class Mode { kDesktop, kService, kInstall, kUninstall };
  Mode mode = Mode::kDesktop;
  // /operators: a local group whose members may drive the service
  // unelevated.
  std::u16string operators;
  // /g: the seconds a stop gives each program it asks to close, 0 to
  // kMaxGraceSeconds; 0 ends them at once. A value that is none of those is
  // kept, GBK, in graceRejected (and the grace is 0).
  int graceSeconds = 0;
  std::string graceRejected;
  static constexpr int kMaxGraceSeconds = 300;

  static constexpr const char16_t* kDefaultListPath = u"Morvastel.list";
};

// Applies the command line to the settings. `args` is the argument vector
// without the program name. Returns how many times the automatic start was
// armed ("/r" or "-r"); the caller arms its timer that many times. The mode
// words (/service, /install, /uninstall, any case, "-" too) are words of
// their own, as /r is: they are never an option's value.
int ApplyCommandLine(const std::vector<std::u16string>& args, Settings& settings);
