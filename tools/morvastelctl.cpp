// morvastelctl: drives the launcher running on this machine through its
// control pipe, found by the launcher's heartbeat port.
//   status | start PLAN | stop | restart [PLAN] | check [PLAN] | row N ACTION |
//   quit | list | version, with [/p PORT] [--wait SECONDS] [--force]
//   [--launcher PATH]: only a launcher running that program file (by default
//   the Morvastel.exe beside this program) is trusted.
// Exit status (all but check): 0 done, 1 refused, 2 usage error, no such
// plan or row, 3 no launcher answers on the port, 4 internal, 5 the wait
// ran out (the action was taken), 6 no reply after the request was sent,
// 7 the pipe's server is no launcher this user can trust, 8 access denied.
// check ends as monitoring plug-ins do: 0 OK, 1 WARNING, 2 CRITICAL,
// 3 UNKNOWN. Every failure writes one line on standard error: an ASCII token
// (E_REFUSED ...), a blank, the reason.
//
// The arguments are taken as UTF-16, so a Chinese plan name typed on any code
// page arrives whole. What goes to standard output is pure ASCII (JSON with
// \uXXXX escapes, check's line), so it reads the same whatever code page the
// reader decodes it with (PowerShell 5.1 over WinRM takes the ANSI one). The
// reasons on standard error are UTF-8 when redirected; to a console they are
// written as UTF-16, so the Chinese reads right whatever its code page.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "text/encoding.h"
#include "text/format_text.h"
#include "text/texts.h"
#include "console_text.h"
#include "control/control_pipe_win.h"
#include "control/control_protocol.h"
#include "control/json_reader.h"
#include "control/json_writer.h"
#include "control/status_reading.h"
#include "platform/files.h"

namespace {

// How long one call may take, a busy pipe's wait included: longer than the
// launcher's own limits for taking a request (ControlServer::kWindowLimitMs),
// so a launcher that is slow to take it still answers in time.
constexpr DWORD kCallLimitMs = 20000;
// A launcher that list or version asks, which a busy or hung one must not
// hold up for long.
constexpr DWORD kLookLimitMs = 3000;
// How often a wait asks the launcher's status.
constexpr DWORD kPollMs = 200;

void Print(std::FILE* stream, const std::string& utf8) {
  const std::string line = utf8.empty() || utf8.back() != '\n' ? utf8 + "\n" : utf8;
  if (WriteConsoleText(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, Utf8ToUtf16(line))) return;
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

int Fail(ControlFailure failure, const std::string& gbk) {
  Print(stderr, FailureLine(failure, GbkToUtf8(gbk)));
  return static_cast<int>(FailureExit(failure));
}

const char* ArgumentErrorText(ArgumentError error) {
  switch (error) {
    case ArgumentError::kNoCommand: return texts::kCtlNoCommand;
    case ArgumentError::kUnknownCommand: return texts::kCtlUnknownCommand;
    case ArgumentError::kPlanMissing: return texts::kCtlPlanMissing;
    case ArgumentError::kSurplus: return texts::kCtlSurplus;
    case ArgumentError::kBadPort: return texts::kCtlBadPort;
    case ArgumentError::kBadWait: return texts::kCtlBadWait;
    case ArgumentError::kWaitNotTaken: return texts::kCtlWaitNotTaken;
    case ArgumentError::kForceNotTaken: return texts::kCtlForceNotTaken;
    case ArgumentError::kBadRow: return texts::kCtlBadRow;
    case ArgumentError::kBadLauncher: return texts::kCtlBadLauncher;
    case ArgumentError::kBadOption: return texts::kCtlBadOption;
    case ArgumentError::kNone: break;
  }
  return "";
}

std::wstring WideOfUtf8(const std::string& utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

// The reason, GBK, for a call that got no reply; `launcher` the program
// the server had to run.
std::string CallFailureText(const LauncherCall& call, std::uint16_t port, const std::wstring& launcher) {
  const unsigned p = port;
  const auto error = static_cast<unsigned long>(call.error);
  switch (call.failure) {
    case ControlFailure::kNoLauncher: return FormatText(texts::kCtlNoLauncher, p, ControlPipeName(port).c_str(), error);
    case ControlFailure::kRefused: return FormatText(texts::kCtlPipeBusy, p);
    // Unelevated, the likeliest reason is a launcher run elevated.
    case ControlFailure::kDenied: return FormatText(Elevated() ? texts::kCtlAccessDenied : texts::kCtlDeniedUnelevated, p);
    case ControlFailure::kImpostor:
      if (!call.otherImage.empty()) {
        const auto gbk = [](const std::wstring& path) { return Utf16ToGbk(std::u16string(path.begin(), path.end())); };
        return FormatText(texts::kCtlImpostorImage, ControlPipeName(port).c_str(), gbk(call.otherImage).c_str(),
                          gbk(launcher).c_str());
      }
      if (call.error == ERROR_ACCESS_DENIED) return FormatText(texts::kCtlImpostorLower, ControlPipeName(port).c_str());
      return FormatText(texts::kCtlImpostor, ControlPipeName(port).c_str(), error);
    case ControlFailure::kNoReply: return FormatText(texts::kCtlNoReply, p, error);
    default: return FormatText(texts::kCtlInternal, error);
  }
}

class Control {
 public:
  explicit Control(const ControlArguments& args)
      : args_(args),
        port_(args.port),
        launcher_(args.launcher.empty() ? LauncherBeside() : FullLongPath(WideOfUtf8(args.launcher))) {}

  int Run() {
    switch (args_.request.command) {
      case ControlCommand::kStatus:
      case ControlCommand::kRow:
      case ControlCommand::kSet:
      case ControlCommand::kShow:
      case ControlCommand::kChanges: return Simple(args_.request);
      case ControlCommand::kStart: return Start();
      case ControlCommand::kStop: return Stop();
      case ControlCommand::kRestart: return Restart();
      case ControlCommand::kCheck: return Check();
      case ControlCommand::kQuit: return Quit();
      case ControlCommand::kList: return List();
      case ControlCommand::kVersion: return Version();
    }
    return Fail(ControlFailure::kInternal, FormatText(texts::kCtlInternal, 0ul));
  }

 private:
  ControlRequest Request(ControlCommand command, std::string plan = {}) const {
    ControlRequest request;
    request.command = command;
    request.plan = std::move(plan);
    return request;
  }

  // One request; false with the failure reported (`code` its exit code)
  // unless the launcher replied 0.
  bool Ask(const ControlRequest& request, LauncherCall& call, int& code) {
    call = CallLauncher(port_, request, kCallLimitMs, launcher_);
    if (!call.replied) {
      Print(stderr, FailureLine(call.failure, GbkToUtf8(CallFailureText(call, port_, launcher_))));
      code = static_cast<int>(FailureExit(call.failure));
      return false;
    }
    if (call.reply.code != ControlExit::kDone) {
      Print(stderr, FailureLineOf(call.reply.code, call.reply.body));
      code = static_cast<int>(call.reply.code);
      return false;
    }
    return true;
  }

  // The launcher's status, read; false with the failure reported.
  bool Status(JsonValue& status, int& code) {
    LauncherCall call;
    if (!Ask(Request(ControlCommand::kStatus), call, code)) return false;
    if (!ParseJson(call.reply.body, status)) {
      code = Fail(ControlFailure::kInternal, FormatText(texts::kCtlBadReply, static_cast<unsigned>(port_)));
      return false;
    }
    return true;
  }

  // Asks the status until `done` holds of it or `deadline` (GetTickCount64)
  // has passed: 0 when it held, 5 when the time ran out, or the failure's
  // code. Every call is bounded by its own limit too.
  int WaitFor(ULONGLONG deadline, const std::function<bool(const JsonValue&)>& done) {
    for (;;) {
      JsonValue status;
      int code = 0;
      if (!Status(status, code)) return code;
      if (done(status)) return 0;
      const ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) return static_cast<int>(ControlExit::kTimeout);
      ::Sleep(static_cast<DWORD>(deadline - now < kPollMs ? deadline - now : kPollMs));
    }
  }

  ULONGLONG Deadline(std::uint32_t seconds) const { return ::GetTickCount64() + seconds * 1000ULL; }

  int RanOut(const char* what) {
    return Fail(ControlFailure::kTimeout, FormatText(texts::kCtlWaitRanOut, args_.waitSeconds, what));
  }

  int Simple(const ControlRequest& request) {
    LauncherCall call;
    int code = 0;
    if (!Ask(request, call, code)) return code;
    Print(stdout, AsciiJson(call.reply.body));
    return 0;
  }

  // Sends the request and prints its reply; with --wait, then waits until
  // the test `settle(reply)` gives holds of the status, within one wait
  // counted from the start (`what` names what it waited for when that runs
  // out).
  template <typename Settle>
  int AskThenWait(Settle settle, const char* what) {
    const ULONGLONG deadline = Deadline(args_.waitSeconds);
    LauncherCall call;
    int code = 0;
    if (!Ask(args_.request, call, code)) return code;
    Print(stdout, AsciiJson(call.reply.body));
    if (!args_.wait) return 0;
    code = WaitFor(deadline, settle(call.reply.body));
    return code == static_cast<int>(ControlExit::kTimeout) ? RanOut(what) : code;
  }

  // Whether what a start's --wait waits for has come to plan `plan`. A plan
  // that cannot supervise ends the wait once every row that can run does,
  // and says on standard error what holds it back.
  static bool PlanUp(const JsonValue& status, const std::string& plan) {
    const CheckVerdict verdict = CheckStatus(status, plan);
    if (verdict.up && !verdict.launchPhase.empty()) Print(stderr, "W_NOT_SUPERVISING " + verdict.launchPhase);
    return verdict.up;
  }

  int Start() {
    const std::string& plan = args_.request.plan;
    return AskThenWait(
        [&plan](const std::string&) { return [&plan](const JsonValue& s) { return PlanUp(s, plan); }; },
        texts::kCtlWaitPlanUp);
  }

  int Stop() {
    // The reply names the plan stopped once; every status asked is held to it.
    return AskThenWait(
        [](const std::string& reply) {
          return [plan = StoppedPlan(reply)](const JsonValue& s) { return StopSettled(s, plan); };
        },
        texts::kCtlWaitStopped);
  }

  // The plan a stop's reply names; "" when nothing ran.
  static std::string StoppedPlan(const std::string& body) {
    JsonValue reply;
    return ParseJson(body, reply) ? reply.String("plan") : std::string();
  }

  int Restart() {
    const ULONGLONG deadline = Deadline(args_.waitSeconds);
    JsonValue status;
    int code = 0;
    if (!Status(status, code)) return code;
    // A plan that does not exist is said before anything is stopped.
    std::string target = args_.request.plan;
    if (target.empty()) {
      target = RunningPlanName(status);
      if (target.empty()) return Fail(ControlFailure::kRefused, texts::kCtlNoPlanRuns);
    } else {
      bool known = false;
      const JsonValue* plans = status.Find("plans");
      for (const JsonValue& p : plans ? plans->items() : std::vector<JsonValue>()) known = known || p.String("name") == target;
      if (!known) {
        Print(stderr, FailureLine(ControlFailure::kNoPlan, FormatText(GbkToUtf8(texts::kCtlNoSuchPlan).c_str(),
                                                                      target.c_str())));
        return static_cast<int>(ControlExit::kUsage);
      }
    }
    LauncherCall call;
    if (!Ask(Request(ControlCommand::kStop), call, code)) return code;
    const std::string stopped = StoppedPlan(call.reply.body);
    // The ends are waited for whether asked or not: a plan started while
    // its servers still save would share their files.
    const std::uint32_t endSeconds = args_.wait ? args_.waitSeconds : kRestartEndSeconds;
    code = WaitFor(args_.wait ? deadline : Deadline(endSeconds),
                   [&stopped](const JsonValue& s) { return StopSettled(s, stopped); });
    if (code == static_cast<int>(ControlExit::kTimeout)) {
      return Fail(ControlFailure::kTimeout,
                  FormatText(texts::kCtlRestartNotEnded, Utf16ToGbk(Utf8ToUtf16(stopped)).c_str(), endSeconds));
    }
    if (code != 0) return code;
    if (!Ask(Request(ControlCommand::kStart, target), call, code)) return code;
    Print(stdout, AsciiJson(call.reply.body));
    if (!args_.wait) return 0;
    code = WaitFor(deadline, [&target](const JsonValue& s) { return PlanUp(s, target); });
    return code == static_cast<int>(ControlExit::kTimeout) ? RanOut(texts::kCtlWaitPlanUp) : code;
  }

  int Check() {
    const LauncherCall call = CallLauncher(port_, Request(ControlCommand::kStatus), kCallLimitMs, launcher_);
    JsonValue status;
    if (call.replied && call.reply.code == ControlExit::kDone && ParseJson(call.reply.body, status)) {
      const CheckVerdict verdict = CheckStatus(status, args_.request.plan);
      Print(stdout, verdict.line);
      return static_cast<int>(verdict.code);
    }
    // No trustworthy answer: UNKNOWN, with the reason on standard error.
    std::string line;
    if (!call.replied) {
      line = FailureLine(call.failure, GbkToUtf8(CallFailureText(call, port_, launcher_)));
    } else if (call.reply.code != ControlExit::kDone) {
      line = FailureLineOf(call.reply.code, call.reply.body);
    } else {
      line = FailureLine(ControlFailure::kInternal, GbkToUtf8(FormatText(texts::kCtlBadReply, static_cast<unsigned>(port_))));
    }
    Print(stdout, UnknownVerdict(line.substr(0, line.find(' ')), port_).line);
    Print(stderr, line);
    return static_cast<int>(CheckCode::kUnknown);
  }

  int Quit() {
    LauncherCall call;
    int code = 0;
    if (!Ask(args_.request, call, code)) return code;
    Print(stdout, AsciiJson(call.reply.body));
    if (!args_.wait) return 0;
    // The process the pipe's server was found to be, opened before the
    // request went out.
    if (::WaitForSingleObject(call.serverProcess.get(), args_.waitSeconds * 1000) != WAIT_OBJECT_0) {
      return RanOut(texts::kCtlWaitQuit);
    }
    return 0;
  }

  int List() {
    DWORD error = 0;
    const std::vector<std::uint16_t> ports = ListControlPipes(&error);
    if (error != 0) return Fail(ControlFailure::kInternal, FormatText(texts::kCtlListFailed, static_cast<unsigned long>(error)));
    JsonWriter json;
    json.BeginArray();
    for (const std::uint16_t port : ports) {
      // Only a launcher this user can trust and that answers is listed.
      const LauncherCall call = CallLauncher(port, Request(ControlCommand::kStatus), kLookLimitMs, launcher_);
      JsonValue status;
      if (!call.replied || call.reply.code != ControlExit::kDone || !ParseJson(call.reply.body, status)) continue;
      const JsonValue* launcher = status.Find("launcher");
      json.BeginObject().Key("port").Number(port).Key("pid").Number(call.serverPid);
      json.Key("list").String(launcher ? launcher->String("list") : std::string()).EndObject();
    }
    json.EndArray();
    Print(stdout, json.text());
    return 0;
  }

  int Version() {
    JsonWriter json;
    json.BeginObject().Key("morvastelctl").String(MORVASTEL_VERSION).Key("launcher");
    const LauncherCall call = CallLauncher(port_, Request(ControlCommand::kStatus), kLookLimitMs, launcher_);
    JsonValue status;
    const JsonValue* launcher = nullptr;
    if (call.replied && call.reply.code == ControlExit::kDone && ParseJson(call.reply.body, status)) {
      launcher = status.Find("launcher");
    }
    launcher ? json.String(launcher->String("version")) : json.Null();
    json.EndObject();
    Print(stdout, json.text());
    return 0;
  }

  const ControlArguments& args_;
  const std::uint16_t port_;
  const std::wstring launcher_;  // the program a trusted launcher runs
};

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
    // One line, as every failure: the reason and where the usage is.
    return Fail(ControlFailure::kUsage, std::string(ArgumentErrorText(parsed.error)) + texts::kCtlSeeUsage);
  }
  return Control(parsed).Run();
}
