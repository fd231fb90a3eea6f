#pragma once
// What morvastelctl and a running launcher say to each other over the
// launcher's control pipe, and how the console program reads its command
// line. Platform-free: the pipe itself is control_pipe_win.
//
// A request is one pipe message of at most kMaxRequestBytes, UTF-8:
//   "morvastel-control 1\n" "status\n"
//   "morvastel-control 1\n" "stop\n"
//   "morvastel-control 1\n" "start\n" PLAN "\n"
// Nothing else is a request. A reply is one message: the exit code the
// console program ends with, as one decimal digit, a line feed, then the
// body (UTF-8): the result for code 0, the reason for any other.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The console program's exit codes; the launcher's replies carry them.
enum class ControlExit : int {
  kDone = 0,
  kRefused = 1,     // the launcher will not do it now: a plan runs, a box is open
  kUsage = 2,       // a usage error, or no plan of that name
  kNoLauncher = 3,  // nobody answers on the port's pipe
  kInternal = 4,    // anything else
};

enum class ControlCommand { kStatus, kStart, kStop };

struct ControlRequest {
  ControlCommand command = ControlCommand::kStatus;
  std::string plan;  // kStart: the plan's name, UTF-8
};

inline constexpr std::size_t kMaxRequestBytes = 4096;
// A reply larger than this is not believed (a list of many thousand rows
// stays far below it).
inline constexpr std::size_t kMaxReplyBytes = 64u << 20;

enum class RequestError {
  kNone,
  kTooLong,         // more than kMaxRequestBytes
  kNotARequest,     // no protocol line, or another version
  kUnknownCommand,
  kBadPlanName,     // empty, not UTF-8, holding CR or NUL
  kMalformed,       // anything missing or surplus around the words
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

// The pipe a launcher with heartbeat port `port` serves.
std::string ControlPipeName(std::uint16_t port);

// The console program's command line: COMMAND [PLAN] [/p PORT], the option
// anywhere, as "/p" or "-p" in either case, as the launcher takes it.
enum class ArgumentError {
  kNone,
  kNoCommand,
  kUnknownCommand,
  kPlanMissing,  // start without a plan name
  kSurplus,      // more words than the command takes
  kBadPort,      // /p without a value, or not a number from 0 to 65535
};
struct ControlArguments {
  bool help = false;  // "/?", "-h" or "--help": the usage, and nothing else
  ArgumentError error = ArgumentError::kNone;
  ControlRequest request;
  std::uint16_t port = 22225;
};
ControlArguments ParseControlArguments(const std::vector<std::string>& utf8Args);
