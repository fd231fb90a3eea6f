// morvastelctl: drives the launcher running on this machine through its
// control pipe, found by the launcher's heartbeat port.
//   morvastelctl status [/p PORT]       the status object, JSON, on stdout
//   morvastelctl start PLAN [/p PORT]   starts the plan as the start button
//   morvastelctl stop [/p PORT]         stops the running plan as the stop button
// Exit status: 0 done, 1 refused, 2 usage error or no such plan, 3 no
// launcher answers on the port, 4 anything else. Every other status comes
// with its reason on standard error.
//
// The arguments are taken as UTF-16, so a Chinese plan name typed on any code
// page arrives whole. Output is UTF-8 when redirected (the JSON and the
// reasons alike); to a console it is written as UTF-16, so the Chinese reads
// right whatever the console's code page.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "text/encoding.h"
#include "text/format_text.h"
#include "text/texts.h"
#include "console_text.h"
#include "control/control_pipe_win.h"
#include "control/control_protocol.h"

namespace {

// How long the whole call may take, a busy pipe's wait included: longer
// than the launcher's own limits for one client.
constexpr DWORD kCallLimitMs = 20000;

void Print(std::FILE* stream, const std::string& utf8) {
  const std::string line = utf8.empty() || utf8.back() != '\n' ? utf8 + "\n" : utf8;
  if (WriteConsoleText(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, Utf8ToUtf16(line))) return;
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

int Fail(ControlExit code, const std::string& gbk) {
  Print(stderr, GbkToUtf8(gbk));
  return static_cast<int>(code);
}

const char* ArgumentErrorText(ArgumentError error) {
  switch (error) {
    case ArgumentError::kNoCommand: return texts::kCtlNoCommand;
    case ArgumentError::kUnknownCommand: return texts::kCtlUnknownCommand;
    case ArgumentError::kPlanMissing: return texts::kCtlPlanMissing;
    case ArgumentError::kSurplus: return texts::kCtlSurplus;
    case ArgumentError::kBadPort: return texts::kCtlBadPort;
    case ArgumentError::kNone: break;
  }
  return "";
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (const std::u16string& arg : CommandLineArguments()) args.push_back(Utf16ToUtf8(arg));

  const ControlArguments parsed = ParseControlArguments(args);
  if (parsed.help) {
    Print(stdout, GbkToUtf8(texts::kCtlUsage));
    return 0;
  }
  if (parsed.error != ArgumentError::kNone) {
    return Fail(ControlExit::kUsage, std::string(ArgumentErrorText(parsed.error)) + "\n" + texts::kCtlUsage);
  }

  DWORD error = 0;
  const ControlReply reply = CallLauncher(parsed.port, parsed.request, kCallLimitMs, &error);
  if (error != 0) {
    const unsigned port = parsed.port;
    switch (reply.code) {
      case ControlExit::kNoLauncher:
        return Fail(reply.code, FormatText(texts::kCtlNoLauncher, port, ControlPipeName(parsed.port).c_str(),
                                           static_cast<unsigned long>(error)));
      case ControlExit::kRefused: return Fail(reply.code, FormatText(texts::kCtlAccessDenied, port));
      default: return Fail(ControlExit::kInternal, FormatText(texts::kCtlInternal, static_cast<unsigned long>(error)));
    }
  }
  Print(reply.code == ControlExit::kDone ? stdout : stderr, reply.body);
  return static_cast<int>(reply.code);
}
