#pragma once
// What morvastelctl and a running launcher say to each other over the
// launcher's control pipe, and how the console program reads its command
// line. Platform-free: the pipe itself is control_pipe_win.
//
// A request is one pipe message of at most kMaxRequestBytes, UTF-8:
//   "morvastel-control 1\n" "status\n"
//   "morvastel-control 1\n" "stop\n"
//   "morvastel-control 1\n" "start\n" PLAN "\n"
//   "morvastel-control 1\n" "row\n" N "\n" ACTION "\n"        ACTION: start, stop or restart
//   "morvastel-control 1\n" "row\n" N "\n" ACTION "\n" "force\n"
//   "morvastel-control 1\n" "quit\n"
//   "morvastel-control 1\n" "row\n" N "\n" "tick\n"             or "untick\n": the tick alone
//   "morvastel-control 1\n" "set\n" OPTION "\n" VALUE "\n"
//        OPTION: rerun, notify or detect with VALUE on or off; interval with 15 to 120
//   "morvastel-control 1\n" "show\n" PLAN "\n"              the plan the window shows
//   "morvastel-control 1\n" "changes\n"                      the status's revision alone
// Nothing else is a request. A reply is one message: the exit code the
// console program ends with, as one decimal digit, a line feed, then the
// body (UTF-8): the result for code 0; for any other, one line that starts
// with the failure's token (kFailureTokens) and a space, then the reason.
//
// restart, check, list and version are the console program's own: it makes
// them of status, start and stop requests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The console program's exit codes, for every command but check; the
// launcher's replies carry them.
enum class ControlExit : int {
  kDone = 0,
  kRefused = 1,     // the launcher will not do it now: another plan runs, a box is open
  kUsage = 2,       // a usage error, no plan of that name, no such row
  kNoLauncher = 3,  // nobody answers on the port's pipe
  kInternal = 4,    // anything else
  kTimeout = 5,     // the wait ran out; the action itself was taken
  kNoReply = 6,     // the request was sent and no reply came: the outcome is unknown
  kImpostor = 7,    // the pipe's server is not a launcher this user can trust
  kDenied = 8,      // the pipe refused this user
};

// Every failure's token, the first word of its line on standard error.
enum class ControlFailure {
  kRefused,
  kUsage,
  kNoPlan,
  kNoRow,
  kNoLauncher,
  kInternal,
  kTimeout,
  kNoReply,
  kImpostor,
  kDenied,
};
const char* FailureToken(ControlFailure failure);
ControlExit FailureExit(ControlFailure failure);
// The token a failure with exit code `code` has when nothing says which:
// kUsage for 2 (not kNoPlan or kNoRow), kInternal for codes without one.
ControlFailure FailureOfExit(ControlExit code);
// "TOKEN text": the line a failure is reported with.
std::string FailureLine(ControlFailure failure, std::string_view text);
// The line for a reply of code `code` whose body is `body`: the body as it
// is when it starts with a token of that code and a space, else the body
// behind the code's own token (a launcher of an older version sends the
// reason alone).
std::string FailureLineOf(ControlExit code, std::string_view body);

enum class ControlCommand { kStatus, kStart, kStop, kRow, kQuit, kRestart, kCheck, kList, kVersion, kSet, kShow, kChanges };
// kTick and kUntick set the row's tick and nothing else, as a click on its
// box does: the runner reads it at its next step.
enum class RowAction { kStart, kStop, kRestart, kTick, kUntick };
// The window's supervision options a request may set.
enum class WindowOption { kRerun, kNotify, kDetect, kInterval };
// The detection interval's range in seconds, as the window's box takes it.
inline constexpr std::uint32_t kMinInterval = 15;
inline constexpr std::uint32_t kMaxInterval = 120;
// The option's word in a request, the status object and the console program.
const char* OptionWord(WindowOption option);

struct ControlRequest {
  ControlCommand command = ControlCommand::kStatus;
  std::string plan;  // kStart: the plan's name, UTF-8
  // kRow: the row from 1, what to do with it, and whether an exempt
  // server's program may be ended all the same.
  std::uint32_t row = 0;
  RowAction action = RowAction::kStart;
  bool force = false;
  // kSet: the option and its value (1 on, 0 off; the interval's seconds).
  WindowOption option = WindowOption::kRerun;
  std::uint32_t value = 0;
};

inline constexpr std::size_t kMaxRequestBytes = 4096;
// A reply larger than this is not believed (a list of many thousand rows
// stays far below it).
inline constexpr std::size_t kMaxReplyBytes = 64u << 20;
// The highest row number a request may name.
inline constexpr std::uint32_t kMaxRow = 999999;

enum class RequestError {
  kNone,
  kTooLong,         // more than kMaxRequestBytes
  kNotARequest,     // no protocol line, or another version
  kUnknownCommand,  // a word that is no request (the console program's own included)
  kBadPlanName,     // empty, not UTF-8, holding CR or NUL
  kBadRow,          // not a row number from 1 to kMaxRow without leading zeros, or no action
  kMalformed,       // anything missing or surplus around the words
  kBadOption,       // set: no such option, or a value it does not take
};

// The request's bytes. A plan name that ParseControlRequest would refuse
// gives bytes that it refuses too.
std::string FormatControlRequest(const ControlRequest& request);
// Reads one request; on kNone `request` holds it. Never reads past `bytes`.
RequestError ParseControlRequest(std::string_view bytes, ControlRequest& request);

struct ControlReply {
  ControlExit code = ControlExit::kInternal;
  std::string body;  // UTF-8
};

std::string FormatControlReply(const ControlReply& reply);
// False when `bytes` are not a reply (no digit and line feed at the start).
bool ParseControlReply(std::string_view bytes, ControlReply& reply);

// The pipe a launcher with heartbeat port `port` serves, and the prefix
// every launcher's pipe name starts with.
std::string ControlPipeName(std::uint16_t port);
inline constexpr std::string_view kControlPipePrefix = "morvastel-";
// The port of a pipe named `name` (without \\.\pipe\), when it is a
// launcher's: the prefix and the port in plain decimal, as ControlPipeName
// writes it. False for any other name.
bool ControlPipePort(std::string_view name, std::uint16_t& port);

// The console program's command line: COMMAND [ARGUMENTS] [/p PORT]
// [--wait SECONDS] [--force] [--launcher PATH], the options anywhere; /p as
// "/p" or "-p" in either case, as the launcher takes it.
//   status | check [PLAN] | list | version
//   start PLAN | stop | restart [PLAN] | quit       each with --wait
//   row N start|stop|restart                         with --force
//   row N tick|untick | set OPTION VALUE | show PLAN | changes
enum class ArgumentError {
  kNone,
  kNoCommand,
  kUnknownCommand,
  kPlanMissing,   // start without a plan name
  kSurplus,       // more words than the command takes
  kBadPort,       // /p without a value, or not a number from 0 to 65535
  kBadWait,       // --wait without a value, or not whole seconds up to kMaxWaitSeconds
  kWaitNotTaken,  // --wait on a command that does not wait
  kForceNotTaken, // --force on a command other than row
  kBadRow,        // row without a number from 1 to kMaxRow, or without start, stop or restart
  kBadLauncher,   // --launcher without a path
  kBadOption,     // set without an option it knows or a value the option takes
};
inline constexpr std::uint32_t kMaxWaitSeconds = 86400;
struct ControlArguments {
  bool help = false;  // "/?", "-h" or "--help": the usage, and nothing else
  ArgumentError error = ArgumentError::kNone;
  ControlRequest request;  // the command, and for restart and check the plan, "" for none
  std::uint16_t port = 22225;
  bool wait = false;  // --wait given
  std::uint32_t waitSeconds = 0;
  // --launcher: the launcher's program the pipe's server must run, as
  // given; empty for the one beside the console program.
  std::string launcher;
};
ControlArguments ParseControlArguments(const std::vector<std::string>& utf8Args);
// Whether the command takes --wait.
bool CommandWaits(ControlCommand command);
// How long restart waits for the stopped plan's processes to end when no
// --wait is given.
inline constexpr std::uint32_t kRestartEndSeconds = 60;
