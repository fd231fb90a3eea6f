#pragma once
// What registering the launcher as a Windows service takes, without Windows:
// its name, the command line the service manager runs it with, and what
// each of the service manager's controls asks of the launcher.
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

// What a control of the service manager asks of the launcher: to end as Esc
// ends it (its programs run on), or to stop the plan and end as at a
// session's end.
enum class ServiceAction { kNone, kQuit, kEndSession };
// The controls by their numbers (winsvc.h): SERVICE_CONTROL_STOP quits,
// SERVICE_CONTROL_PRESHUTDOWN and the operator's rehearsal of it end the
// session; every other control asks nothing.
inline constexpr std::uint32_t kControlStop = 0x1;
inline constexpr std::uint32_t kControlPreshutdown = 0xF;
inline constexpr std::uint32_t kControlRehearseShutdown = 200;
ServiceAction ActionOfControl(std::uint32_t control);
// A control that comes while the launcher starts is kept for its window;
// of two, the session's end is kept: a stop that comes after a shutdown's
// would otherwise leave the plan running for the shutdown to cut off.
ServiceAction KeptAction(ServiceAction kept, ServiceAction next);
