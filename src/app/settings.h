#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The values that configure one run: from defaults, the command line and the
// launch list's header lines. The dialog font lives with the application
// object (it is a Windows handle), not here.
//
// The texts are GBK like every other text, but the four paths stay in the
// command line's UTF-16 up to the file calls: a folder named with characters
// GBK lacks (a Korean name, an umlaut in a user name) is still the folder the
// operator gave.
struct Settings {
  std::string bindAddress;            // empty: all local addresses
  std::uint16_t port = 22225;         // heartbeat port
  std::string windowTitle;            // empty: the template's caption stays
  std::u16string listPath = kDefaultListPath;
  // What the launcher reports about itself; each is off while empty.
  std::u16string journalPath;  // /l: the journal file
  std::u16string metricsPath;  // /m: the metrics file
  std::u16string dumpFolder;   // /d: where minidumps of hung programs go

  static constexpr const char16_t* kDefaultListPath = u"Morvastel.list";
};

// Splits a command line into its arguments exactly as the C runtime does for
// a wide main's argv, argument 0 (the program) first:
// - the program runs to the first blank or tab outside quotes; its quotes
//   are dropped and its backslashes taken as they are;
// - an argument runs to the next blank or tab outside quotes, and quotes
//   may open and close anywhere in it;
// - 2n backslashes before a quote are n backslashes, and the quote opens or
//   closes; 2n+1 are n backslashes and a literal quote; backslashes before
//   anything else are taken as they are;
// - inside quotes, "" is one literal quote and the quotes go on.
// CommandLineToArgvW differs in two places: "" inside quotes ends the quotes
// there (so '/n "a""b" /f b.list' gives it the one argument 'a"b /f b.list'),
// and a quoted program ends at its closing quote.
std::vector<std::u16string> SplitCommandLine(std::u16string_view line);

// Applies the command line to the settings. `args` is the argument vector
// without the program name. Returns how many times the automatic start was
// armed ("/r" or "-r"); the caller arms its timer that many times.
int ApplyCommandLine(const std::vector<std::u16string>& args, Settings& settings);
