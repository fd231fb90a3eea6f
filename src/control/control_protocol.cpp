#include "control/control_protocol.h"

#include "text/encoding.h"

namespace {

constexpr std::string_view kProtocolLine = "morvastel-control 1\n";

struct CommandWord {
  std::string_view word;
  ControlCommand command;
  bool request;  // one the pipe takes; the others are the console program's own
};
constexpr CommandWord kCommands[] = {
    {"status", ControlCommand::kStatus, true},   {"start", ControlCommand::kStart, true},
    {"stop", ControlCommand::kStop, true},       {"row", ControlCommand::kRow, true},
    {"quit", ControlCommand::kQuit, true},       {"restart", ControlCommand::kRestart, false},
    {"check", ControlCommand::kCheck, false},    {"list", ControlCommand::kList, false},
    {"version", ControlCommand::kVersion, false}, {"set", ControlCommand::kSet, true},
    {"show", ControlCommand::kShow, true},       {"changes", ControlCommand::kChanges, true},
};

struct ActionWord {
  std::string_view word;
  RowAction action;
};
constexpr ActionWord kActions[] = {{"start", RowAction::kStart},     {"stop", RowAction::kStop},
                                   {"restart", RowAction::kRestart}, {"tick", RowAction::kTick},
                                   {"untick", RowAction::kUntick}};

constexpr const char* kOptionWords[] = {"rerun", "notify", "detect", "interval"};

constexpr std::string_view kForceWord = "force";

struct FailureName {
  ControlFailure failure;
  const char* token;
  ControlExit code;
};
constexpr FailureName kFailures[] = {
    {ControlFailure::kRefused, "E_REFUSED", ControlExit::kRefused},
    {ControlFailure::kUsage, "E_USAGE", ControlExit::kUsage},
    {ControlFailure::kNoPlan, "E_NO_PLAN", ControlExit::kUsage},
    {ControlFailure::kNoRow, "E_NO_ROW", ControlExit::kUsage},
    {ControlFailure::kNoLauncher, "E_NO_LAUNCHER", ControlExit::kNoLauncher},
    {ControlFailure::kInternal, "E_INTERNAL", ControlExit::kInternal},
    {ControlFailure::kTimeout, "E_TIMEOUT", ControlExit::kTimeout},
    {ControlFailure::kNoReply, "E_NO_REPLY", ControlExit::kNoReply},
    {ControlFailure::kImpostor, "E_IMPOSTOR", ControlExit::kImpostor},
    {ControlFailure::kDenied, "E_DENIED", ControlExit::kDenied},
};

const FailureName& NameOf(ControlFailure failure) {
  for (const FailureName& f : kFailures) {
    if (f.failure == failure) return f;
  }
  return kFailures[5];  // kInternal
}

std::string_view WordOf(ControlCommand command) {
  for (const CommandWord& c : kCommands) {
    if (c.command == command) return c.word;
  }
  return {};
}

std::string_view WordOf(RowAction action) {
  for (const ActionWord& a : kActions) {
    if (a.action == action) return a.word;
  }
  return {};
}

// Takes the text up to the next line feed out of `rest`; false when there is
// no line feed.
bool TakeLine(std::string_view& rest, std::string_view& line) {
  const std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) return false;
  line = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}

bool IsPlanName(std::string_view name) {
  return !name.empty() && name.find('\r') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos && IsValidUtf8(name);
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsAsciiLower(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (LowerAscii(text[i]) != lower[i]) return false;
  }
  return true;
}

// Plain decimal digits, at most `maxDigits` of them, up to `max`; false for
// anything else (a sign, blanks, an empty text).
bool ReadDecimal(std::string_view text, std::size_t maxDigits, std::uint32_t max, std::uint32_t& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > max) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

// A row number as a request carries it: from 1, no leading zero, so each
// row has one form.
bool ReadRowNumber(std::string_view text, std::uint32_t& row) {
  return !text.empty() && text[0] != '0' && ReadDecimal(text, 6, kMaxRow, row);
}

// An option's word and value as a request or a command line gives them;
// false for a word that names no option or a value it does not take.
bool ReadOption(std::string_view word, std::string_view value, bool anyCase, WindowOption& option,
                std::uint32_t& out) {
  for (int k = 0; k < 4; ++k) {
    if (anyCase ? !EqualsAsciiLower(word, kOptionWords[k]) : word != kOptionWords[k]) continue;
    option = static_cast<WindowOption>(k);
    if (option == WindowOption::kInterval) {
      return !value.empty() && value[0] != '0' && ReadDecimal(value, 3, kMaxInterval, out) && out >= kMinInterval;
    }
    const auto is = [&](std::string_view w) { return anyCase ? EqualsAsciiLower(value, w) : value == w; };
    if (!is("on") && !is("off")) return false;
    out = is("on") ? 1 : 0;
    return true;
  }
  return false;
}

}  // namespace

const char* OptionWord(WindowOption option) { return kOptionWords[static_cast<int>(option)]; }

const char* FailureToken(ControlFailure failure) { return NameOf(failure).token; }

ControlExit FailureExit(ControlFailure failure) { return NameOf(failure).code; }

ControlFailure FailureOfExit(ControlExit code) {
  for (const FailureName& f : kFailures) {
    if (f.code == code) return f.failure;  // the first of a code is its own
  }
  return ControlFailure::kInternal;
}

std::string FailureLine(ControlFailure failure, std::string_view text) {
  std::string line = FailureToken(failure);
  line += ' ';
  line += text;
  return line;
}

std::string FailureLineOf(ControlExit code, std::string_view body) {
  for (const FailureName& f : kFailures) {
    const std::string_view token = f.token;
    if (f.code == code && body.size() > token.size() && body.substr(0, token.size()) == token &&
        body[token.size()] == ' ') {
      return std::string(body);
    }
  }
  return FailureLine(FailureOfExit(code), body);
}

std::string FormatControlRequest(const ControlRequest& request) {
  std::string bytes(kProtocolLine);
  bytes += WordOf(request.command);
  bytes += '\n';
  if (request.command == ControlCommand::kStart || request.command == ControlCommand::kShow) {
    bytes += request.plan;
    bytes += '\n';
  } else if (request.command == ControlCommand::kSet) {
    bytes += OptionWord(request.option);
    bytes += '\n';
    bytes += request.option == WindowOption::kInterval ? std::to_string(request.value)
                                                       : std::string(request.value != 0 ? "on" : "off");
    bytes += '\n';
  } else if (request.command == ControlCommand::kRow) {
    bytes += std::to_string(request.row);
    bytes += '\n';
    bytes += WordOf(request.action);
    bytes += '\n';
    if (request.force && request.action <= RowAction::kRestart) {
      bytes += kForceWord;
      bytes += '\n';
    }
  }
  return bytes;
}

RequestError ParseControlRequest(std::string_view bytes, ControlRequest& request) {
  if (bytes.size() > kMaxRequestBytes) return RequestError::kTooLong;
  if (bytes.substr(0, kProtocolLine.size()) != kProtocolLine) return RequestError::kNotARequest;
  std::string_view rest = bytes.substr(kProtocolLine.size());
  std::string_view word;
  if (!TakeLine(rest, word)) return RequestError::kMalformed;
  const CommandWord* found = nullptr;
  for (const CommandWord& c : kCommands) {
    if (c.request && c.word == word) found = &c;
  }
  if (!found) return RequestError::kUnknownCommand;
  ControlRequest read;
  read.command = found->command;
  if (found->command == ControlCommand::kStart || found->command == ControlCommand::kShow) {
    std::string_view plan;
    if (!TakeLine(rest, plan)) return RequestError::kMalformed;
    if (!IsPlanName(plan)) return RequestError::kBadPlanName;
    read.plan = std::string(plan);
  } else if (found->command == ControlCommand::kRow) {
    std::string_view number, action;
    if (!TakeLine(rest, number) || !TakeLine(rest, action)) return RequestError::kMalformed;
    if (!ReadRowNumber(number, read.row)) return RequestError::kBadRow;
    const ActionWord* act = nullptr;
    for (const ActionWord& a : kActions) {
      if (a.word == action) act = &a;
    }
    if (!act) return RequestError::kBadRow;
    read.action = act->action;
    // Only an end may be forced: a tick ends nothing.
    if (read.action <= RowAction::kRestart && rest == std::string(kForceWord) + "\n") {
      read.force = true;
      rest = {};
    }
  } else if (found->command == ControlCommand::kSet) {
    std::string_view word, value;
    if (!TakeLine(rest, word) || !TakeLine(rest, value)) return RequestError::kMalformed;
    if (!ReadOption(word, value, false, read.option, read.value)) return RequestError::kBadOption;
  }
  if (!rest.empty()) return RequestError::kMalformed;
  request = std::move(read);
  return RequestError::kNone;
}

std::string FormatControlReply(const ControlReply& reply) {
  std::string bytes(1, static_cast<char>('0' + static_cast<int>(reply.code)));
  bytes += '\n';
  bytes += reply.body;
  return bytes;
}

bool ParseControlReply(std::string_view bytes, ControlReply& reply) {
  if (bytes.size() < 2 || bytes[0] < '0' || bytes[0] > '9' || bytes[1] != '\n') return false;
  reply.code = static_cast<ControlExit>(bytes[0] - '0');
  reply.body = std::string(bytes.substr(2));
  return true;
}

std::string ControlPipeName(std::uint16_t port) {
  return "\\\\.\\pipe\\" + std::string(kControlPipePrefix) + std::to_string(static_cast<unsigned>(port));
}

bool ControlPipePort(std::string_view name, std::uint16_t& port) {
  if (name.substr(0, kControlPipePrefix.size()) != kControlPipePrefix) return false;
  const std::string_view digits = name.substr(kControlPipePrefix.size());
  std::uint32_t value = 0;
  // As std::to_string writes it: "0", or no leading zero.
  if ((digits.size() > 1 && digits[0] == '0') || !ReadDecimal(digits, 5, 65535, value)) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

bool CommandWaits(ControlCommand command) {
  return command == ControlCommand::kStart || command == ControlCommand::kStop ||
         command == ControlCommand::kRestart || command == ControlCommand::kQuit;
}

ControlArguments ParseControlArguments(const std::vector<std::string>& utf8Args) {
  ControlArguments out;
  std::vector<std::string_view> words;
  bool force = false;
  for (std::size_t i = 0; i < utf8Args.size(); ++i) {
    const std::string_view arg = utf8Args[i];
    if (arg == "/?" || EqualsAsciiLower(arg, "-h") || EqualsAsciiLower(arg, "--help")) {
      out.help = true;
      return out;
    }
    if (arg.size() == 2 && (arg[0] == '/' || arg[0] == '-') && (arg[1] == 'p' || arg[1] == 'P')) {
      // Only plain digits: a mistyped port would silently ask another launcher.
      const std::string_view value = i + 1 < utf8Args.size() ? std::string_view(utf8Args[++i]) : std::string_view();
      std::uint32_t port = 0;
      if (!ReadDecimal(value, 5, 65535, port)) {
        out.error = ArgumentError::kBadPort;
        return out;
      }
      out.port = static_cast<std::uint16_t>(port);
      continue;
    }
    if (EqualsAsciiLower(arg, "--wait")) {
      const std::string_view value = i + 1 < utf8Args.size() ? std::string_view(utf8Args[++i]) : std::string_view();
      if (!ReadDecimal(value, 5, kMaxWaitSeconds, out.waitSeconds)) {
        out.error = ArgumentError::kBadWait;
        return out;
      }
      out.wait = true;
      continue;
    }
    if (EqualsAsciiLower(arg, "--force")) {
      force = true;
      continue;
    }
    if (EqualsAsciiLower(arg, "--launcher")) {
      out.launcher = i + 1 < utf8Args.size() ? utf8Args[++i] : std::string();
      if (out.launcher.empty()) {
        out.error = ArgumentError::kBadLauncher;
        return out;
      }
      continue;
    }
    words.push_back(arg);
  }
  if (words.empty()) {
    out.error = ArgumentError::kNoCommand;
    return out;
  }
  const CommandWord* found = nullptr;
  for (const CommandWord& c : kCommands) {
    if (EqualsAsciiLower(words[0], c.word)) found = &c;
  }
  if (!found) {
    out.error = ArgumentError::kUnknownCommand;
    return out;
  }
  ControlRequest& request = out.request;
  request.command = found->command;
  std::size_t most = 1;  // words the command takes, its own included
  switch (request.command) {
    case ControlCommand::kStart:
      if (words.size() < 2 || words[1].empty()) {
        out.error = ArgumentError::kPlanMissing;
        return out;
      }
      [[fallthrough]];
    case ControlCommand::kShow:
      if (words.size() < 2 || words[1].empty()) {
        out.error = ArgumentError::kPlanMissing;
        return out;
      }
      [[fallthrough]];
    case ControlCommand::kRestart:
    case ControlCommand::kCheck:
      most = 2;
      if (words.size() >= 2) request.plan = std::string(words[1]);
      break;
    case ControlCommand::kRow: {
      most = 3;
      const ActionWord* act = nullptr;
      for (const ActionWord& a : kActions) {
        if (words.size() >= 3 && EqualsAsciiLower(words[2], a.word)) act = &a;
      }
      if (words.size() < 3 || !ReadRowNumber(words[1], request.row) || !act) {
        out.error = ArgumentError::kBadRow;
        return out;
      }
      request.action = act->action;
      request.force = force;
      break;
    }
    case ControlCommand::kSet:
      most = 3;
      if (words.size() < 3 || !ReadOption(words[1], words[2], true, request.option, request.value)) {
        out.error = ArgumentError::kBadOption;
        return out;
      }
      break;
    default:
      break;
  }
  if (words.size() > most) {
    out.error = ArgumentError::kSurplus;
  } else if (out.wait && !CommandWaits(request.command)) {
    out.error = ArgumentError::kWaitNotTaken;
  } else if (force && (request.command != ControlCommand::kRow || request.action > RowAction::kRestart)) {
    out.error = ArgumentError::kForceNotTaken;
  }
  return out;
}
