// Feeds arbitrary bytes to everything that reads what a control pipe client
// sends or what morvastelctl is given, and checks what must hold for every
// input: a request that is read is the canonical form of its bytes with a
// plan name that is UTF-8 on one line; a reply reads back to its bytes; a
// JSON string literal of any bytes is valid JSON and valid UTF-8.
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
#include "control/json_writer.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// One JSON string literal, whole: quotes only at its ends, every escape one
// JSON knows, no raw control character.
void CheckJsonString(std::string_view text) {
  Require(text.size() >= 2 && text.front() == '"' && text.back() == '"');
  Require(IsValidUtf8(text));
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
    Require(request.command == ControlCommand::kStart || request.plan.empty());
    if (request.command == ControlCommand::kStart) {
      Require(!request.plan.empty() && IsValidUtf8(request.plan));
      Require(request.plan.find_first_of(std::string_view("\n\r\0", 3)) == std::string::npos);
    }
    Catalogue catalogue;
    catalogue.AddPlan("\xd2\xbb\xc7\xf8");  // 一区
    const int plan = FindPlanByName(catalogue, request.plan);
    Require(plan == -1 || plan == 0);
  }

  ControlReply reply;
  if (ParseControlReply(bytes, reply)) Require(FormatControlReply(reply) == bytes);

  CheckJsonString(JsonString(bytes));

  // The bytes as a command line, split at NULs.
  std::vector<std::string> words(1);
  for (const char c : bytes) {
    if (c == '\0') words.emplace_back(); else words.back() += c;
  }
  const ControlArguments arguments = ParseControlArguments(words);
  if (!arguments.help && arguments.error == ArgumentError::kNone &&
      arguments.request.command == ControlCommand::kStart) {
    Require(!arguments.request.plan.empty());
  }
  return 0;
}
