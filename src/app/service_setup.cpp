#include "app/service_setup.h"

#include "app/settings.h"
#include "text/encoding.h"

std::u16string ServiceName(std::uint16_t port) {
  const std::string digits = std::to_string(port);
  return u"Morvastel-" + std::u16string(digits.begin(), digits.end());
}

std::u16string QuoteArgument(std::u16string_view arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == std::u16string_view::npos) return std::u16string(arg);
  std::u16string quoted = u"\"";
  std::size_t slashes = 0;
  for (const char16_t c : arg) {
    if (c == u'\\') {
      ++slashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    quoted.append(c == u'"' ? slashes * 2 + 1 : slashes, u'\\');
    slashes = 0;
    quoted += c;
  }
  // Before the closing quote, too.
  quoted.append(slashes * 2, u'\\');
  return quoted + u"\"";
}

std::u16string ServiceCommandLine(std::u16string_view program, const std::vector<std::u16string>& args,
                                  const std::function<std::u16string(const std::u16string&)>& full) {
  // The settings as the launcher will read them, so that the service's line
  // says each option once, as it took effect.
  Settings given;
  ApplyCommandLine(args, given);
  std::u16string line = QuoteArgument(program) + u" /service";
  const auto add = [&line](const char16_t* option, const std::u16string& value) {
    line += u' ';
    line += option;
    line += u' ';
    line += QuoteArgument(value);
  };
  add(u"/f", full(given.listPath));
  add(u"/p", GbkToUtf16(std::to_string(given.port)));
  if (!given.bindAddress.empty()) add(u"/i", GbkToUtf16(given.bindAddress));
  if (!given.windowTitle.empty()) add(u"/n", GbkToUtf16(given.windowTitle));
  if (!given.journalPath.empty()) add(u"/l", full(given.journalPath));
  if (!given.metricsPath.empty()) add(u"/m", full(given.metricsPath));
  if (!given.dumpFolder.empty()) add(u"/d", full(given.dumpFolder));
  if (given.graceSeconds > 0) add(u"/g", GbkToUtf16(std::to_string(given.graceSeconds)));
  if (!given.operators.empty()) add(u"/operators", given.operators);
  return line;
}

ServiceAction ActionOfControl(std::uint32_t control) {
  switch (control) {
    case kControlStop: return ServiceAction::kQuit;
    case kControlPreshutdown:
    case kControlRehearseShutdown: return ServiceAction::kEndSession;
    default: return ServiceAction::kNone;
  }
}

ServiceAction KeptAction(ServiceAction kept, ServiceAction next) {
  return kept == ServiceAction::kEndSession ? kept : next == ServiceAction::kNone ? kept : next;
}
