#include "control/control_protocol.h"

#include "text/encoding.h"

namespace {

constexpr std::string_view kProtocolLine = "morvastel-control 1\n";

struct CommandWord {
  std::string_view word;
  ControlCommand command;
};
constexpr CommandWord kCommands[] = {
    {"status", ControlCommand::kStatus},
    {"start", ControlCommand::kStart},
    {"stop", ControlCommand::kStop},
};

std::string_view WordOf(ControlCommand command) {
  for (const CommandWord& c : kCommands) {
    if (c.command == command) return c.word;
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

bool EqualsAsciiLower(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::string FormatControlRequest(const ControlRequest& request) {
  std::string bytes(kProtocolLine);
  bytes += WordOf(request.command);
  bytes += '\n';
  if (request.command == ControlCommand::kStart) {
    bytes += request.plan;
    bytes += '\n';
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
    if (c.word == word) found = &c;
  }
  if (!found) return RequestError::kUnknownCommand;
  std::string_view plan;
  if (found->command == ControlCommand::kStart) {
    if (!TakeLine(rest, plan)) return RequestError::kMalformed;
    if (!IsPlanName(plan)) return RequestError::kBadPlanName;
  }
  if (!rest.empty()) return RequestError::kMalformed;
  request.command = found->command;
  request.plan = std::string(plan);
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
  return "\\\\.\\pipe\\morvastel-" + std::to_string(static_cast<unsigned>(port));
}

ControlArguments ParseControlArguments(const std::vector<std::string>& utf8Args) {
  ControlArguments out;
  std::vector<std::string_view> words;
  for (std::size_t i = 0; i < utf8Args.size(); ++i) {
    const std::string_view arg = utf8Args[i];
    if (arg == "/?" || EqualsAsciiLower(arg, "-h") || EqualsAsciiLower(arg, "--help")) {
      out.help = true;
      return out;
    }
    if (arg.size() == 2 && (arg[0] == '/' || arg[0] == '-') && (arg[1] == 'p' || arg[1] == 'P')) {
      // Only plain digits: a mistyped port would silently ask another launcher.
      const std::string_view value = i + 1 < utf8Args.size() ? std::string_view(utf8Args[++i]) : std::string_view();
      unsigned long port = 0;
      bool digits = !value.empty() && value.size() <= 5;
      for (const char c : value) {
        digits = digits && c >= '0' && c <= '9';
        if (digits) port = port * 10 + static_cast<unsigned long>(c - '0');
      }
      if (!digits || port > 65535) {
        out.error = ArgumentError::kBadPort;
        return out;
      }
      out.port = static_cast<std::uint16_t>(port);
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
  out.request.command = found->command;
  const std::size_t takes = found->command == ControlCommand::kStart ? 2 : 1;
  if (words.size() < takes) {
    out.error = ArgumentError::kPlanMissing;
  } else if (words.size() > takes) {
    out.error = ArgumentError::kSurplus;
  } else if (takes == 2) {
    out.request.plan = std::string(words[1]);
    if (out.request.plan.empty()) out.error = ArgumentError::kPlanMissing;
  }
  return out;
}
