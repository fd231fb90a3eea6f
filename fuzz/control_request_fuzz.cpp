// Feeds arbitrary bytes to everything that reads what a control pipe client
// sends, what a launcher replies or what morvastelctl is given, and checks
// what must hold for every input: a request that is read is the canonical
// form of its bytes with a plan name that is UTF-8 on one line and a row
// from 1; a reply reads back to its bytes, and its failure line starts with
// a token; a JSON string literal of any bytes is pure ASCII JSON; JSON that
// is read is read again the same once written back in ASCII, a check or a
// wait judges any of it without failing, and a view reads any of it into
// plans and rows that hold together.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/encoding.h"
#include "catalogue/catalogue.h"
#include "control/control_board.h"
#include "control/control_protocol.h"
#include "control/json_reader.h"
#include "control/json_writer.h"
#include "control/launcher_view.h"
#include "control/status_reading.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// One JSON string literal, whole: quotes only at its ends, every escape one
// JSON knows, no raw control character, nothing beyond ASCII.
void CheckJsonString(std::string_view text) {
  Require(text.size() >= 2 && text.front() == '"' && text.back() == '"');
  for (const char c : text) Require(static_cast<unsigned char>(c) < 0x80);
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    Require(b >= 0x20 && text[i] != '"');
    if (text[i] != '\\') continue;
    Require(i + 2 < text.size());
    const char e = text[++i];
    if (e == 'u') {
      Require(i + 4 < text.size() && IsHex(text[i + 1]) && IsHex(text[i + 2]) && IsHex(text[i + 3]) &&
              IsHex(text[i + 4]));
      i += 4;
    } else {
      Require(std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  ControlRequest request;
  const RequestError error = ParseControlRequest(bytes, request);
  Require(size <= kMaxRequestBytes || error == RequestError::kTooLong);
  if (error == RequestError::kNone) {
    Require(FormatControlRequest(request) == bytes);
    const bool named = request.command == ControlCommand::kStart || request.command == ControlCommand::kShow;
    Require(named || request.plan.empty());
    // An option's value is one the window's box could hold.
    Require(request.command != ControlCommand::kSet ||
            (request.option == WindowOption::kInterval ? request.value >= kMinInterval && request.value <= kMaxInterval
                                                       : request.value <= 1));
    Require(request.command != ControlCommand::kRow || !request.force || request.action <= RowAction::kRestart);
    Require(request.command != ControlCommand::kRow || (request.row >= 1 && request.row <= kMaxRow));
    Require(request.command == ControlCommand::kRow || (request.row == 0 && !request.force));
    Require(request.command != ControlCommand::kRestart && request.command != ControlCommand::kCheck &&
            request.command != ControlCommand::kList && request.command != ControlCommand::kVersion);
    if (named) {
      Require(!request.plan.empty() && IsValidUtf8(request.plan));
      Require(request.plan.find_first_of(std::string_view("\n\r\0", 3)) == std::string::npos);
    }
    Catalogue catalogue;
    catalogue.AddPlan("\xd2\xbb\xc7\xf8");  // 一区
    const int plan = FindPlanByName(catalogue, request.plan);
    Require(plan == -1 || plan == 0);
  }

  ControlReply reply;
  if (ParseControlReply(bytes, reply)) {
    Require(FormatControlReply(reply) == bytes);
    const std::string line = FailureLineOf(reply.code, reply.body);
    Require(line.substr(0, 2) == "E_" && line.find(' ') != std::string::npos);
  }

  CheckJsonString(JsonString(bytes));

  // What a launcher replies, read as JSON: in ASCII it reads the same, and
  // a check or a wait's test of it never fails whatever it holds.
  JsonValue value;
  if (ParseJson(bytes, value)) {
    const std::string ascii = AsciiJson(bytes);
    for (const char c : ascii) Require(static_cast<unsigned char>(c) < 0x80);
    JsonValue again;
    Require(ParseJson(ascii, again));
    Require(again.type() == value.type());
    const CheckVerdict verdict = CheckStatus(value, "p");
    Require(verdict.line.substr(0, verdict.line.find(' ')) ==
            (verdict.code == CheckCode::kOk         ? "OK"
             : verdict.code == CheckCode::kWarning  ? "WARNING"
             : verdict.code == CheckCode::kCritical ? "CRITICAL"
                                                    : "UNKNOWN"));
    StopSettled(value, "");
    RunningPlanName(value);
    StatusLauncherPid(value);
    // Whatever it says, the view's catalogue has a range for every plan
    // within its entries, and the status column no more cells than rows.
    LauncherView view;
    if (ReadLauncherView(value, view)) {
      const Catalogue& c = view.catalogue;
      Require(c.m_planRanges.size() == 2 * c.PlanCount() && c.m_planRunning.size() == c.PlanCount());
      std::size_t rows = 0;
      for (std::size_t k = 0; k < c.PlanCount(); ++k) {
        const PlanRange range = c.Range(static_cast<int>(k));
        Require(static_cast<std::size_t>(range.first) == rows && range.count >= 0);
        rows += static_cast<std::size_t>(range.count);
      }
      Require(rows == c.m_entries.size());
      Require(view.shownPlan < 0 || view.status.size() == static_cast<std::size_t>(c.Range(view.shownPlan).count));
      Require(view.runningPlan < 0 || c.m_planRunning[static_cast<std::size_t>(view.runningPlan)] == 1);
      Require(view.interval >= static_cast<int>(kMinInterval) && view.interval <= static_cast<int>(kMaxInterval));
      Require(SameLayout(view.catalogue, view.catalogue));
    }
  }
  std::uint16_t port = 0;
  if (ControlPipePort(bytes, port)) Require(ControlPipeName(port) == "\\\\.\\pipe\\" + std::string(bytes));

  // The bytes as a command line, split at NULs.
  std::vector<std::string> words(1);
  for (const char c : bytes) {
    if (c == '\0') words.emplace_back(); else words.back() += c;
  }
  const ControlArguments arguments = ParseControlArguments(words);
  if (!arguments.help && arguments.error == ArgumentError::kNone) {
    const ControlRequest& parsed = arguments.request;
    if (parsed.command == ControlCommand::kStart || parsed.command == ControlCommand::kShow) {
      Require(!parsed.plan.empty());
    }
    if (parsed.command == ControlCommand::kRow) Require(parsed.row >= 1 && parsed.row <= kMaxRow);
    Require(!arguments.wait || (CommandWaits(parsed.command) && arguments.waitSeconds <= kMaxWaitSeconds));
    Require(!parsed.force || (parsed.command == ControlCommand::kRow && parsed.action <= RowAction::kRestart));
    // What the console program sends reads back as it was meant.
    if (parsed.command == ControlCommand::kSet || parsed.command == ControlCommand::kRow) {
      ControlRequest sent;
      Require(ParseControlRequest(FormatControlRequest(parsed), sent) == RequestError::kNone);
      Require(sent.option == parsed.option && sent.value == parsed.value && sent.action == parsed.action);
    }
  }
  return 0;
}
