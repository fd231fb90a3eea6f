#include "text/command_line.h"

namespace {
bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }
}  // namespace

std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> args(1);
  std::size_t i = 0;
  bool quoted = false;
  for (; i < line.size() && (quoted || !IsBlank(line[i])); ++i) {
    if (line[i] == u'"') {
      quoted = !quoted;
    } else {
      args[0] += line[i];
    }
  }
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) return args;
    std::u16string& arg = args.emplace_back();
    quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      std::size_t slashes = 0;
      while (i < line.size() && line[i] == u'\\') ++slashes, ++i;
      if (i < line.size() && line[i] == u'"') {
        arg.append(slashes / 2, u'\\');
        if (slashes % 2 == 1) {
          arg += u'"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          arg += u'"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(slashes, u'\\');
        if (i < line.size() && (quoted || !IsBlank(line[i]))) arg += line[i++];
      }
    }
  }
}
