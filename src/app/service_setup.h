#pragma once
// What registering the launcher as a Windows service takes, without Windows:
// its name, and the command line the service manager runs it with.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The service of the launcher on heartbeat port `port`: "Morvastel-<port>".
std::u16string ServiceName(std::uint16_t port);

// One argument quoted so that SplitCommandLine (the C runtime's rules) gives
// it back whole: bare when it has no blank, tab or quote and is not empty.
std::u16string QuoteArgument(std::u16string_view arg);

// The service's command line: `program` (a full path), then /service and
// the options of `args` (the /install command line without the program),
// each once as it took effect, /install and /r left out. The service runs in the system folder,
// so the list (/f, or the default list in the current folder when none is
// given) and the /l, /m and /d paths are made full with `full`.
std::u16string ServiceCommandLine(std::u16string_view program, const std::vector<std::u16string>& args,
                                  const std::function<std::u16string(const std::u16string&)>& full);
