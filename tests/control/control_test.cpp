// The control pipe's words, the console program's command line and exit
// codes, the JSON writer and reader, the status object and what a client
// reads from it, in the core; the status object is read back by Python's
// json as a client would.
#include <gtest/gtest.h>

#include <filesystem>

#include <cstdio>
#include <fstream>
#include <string>

#include "text/encoding.h"
#include "catalogue/launch_list.h"
#include "control/control_board.h"
#include "control/control_protocol.h"
#include "control/json_reader.h"
#include "control/json_writer.h"
#include "control/launcher_view.h"
#include "control/status_reading.h"
#include "report/events.h"
#include "text/format_text.h"
#include "text/texts.h"

namespace {

const std::string kHead = "morvastel-control 1\n";
const std::string kPlanName = "\xe4\xb8\x80\xe5\x8c\xba \"x\"";  // 一区 "x", UTF-8

RequestError Parse(const std::string& bytes, ControlRequest* out = nullptr) {
  ControlRequest request;
  const RequestError error = ParseControlRequest(bytes, request);
  if (out) *out = request;
  return error;
}

ControlArguments Args(std::vector<std::string> words) { return ParseControlArguments(words); }

Catalogue ReadList(const std::string& text) {
  ListHeader header;
  Catalogue catalogue;
  ReadLaunchListData(text, header, catalogue);
  return catalogue;
}

// Runs Python's json on `json` and prints `expression` over the parsed value
// `d`; returns what it printed, or the parser's complaint.
std::string Python(const std::string& json, const std::string& expression) {
  // In the system's temporary folder, never where the test was started.
  const std::string base = (std::filesystem::temp_directory_path() / "morvastel_control_test").string();
  std::ofstream(base + ".json", std::ios::binary) << json;
  std::ofstream(base + ".py", std::ios::binary) << "import json\nd = json.load(open('" << base
                                                << ".json', encoding='utf-8'))\nprint(" << expression << ")\n";
  const std::string command = "python3 '" + base + ".py' 2>&1";
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The parsed value of JSON the tests made themselves.
JsonValue Read(const std::string& json) {
  JsonValue value;
  EXPECT_TRUE(ParseJson(json, value)) << json;
  return value;
}

bool IsAscii(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

RowFacts Ticked(int, int) { return {true, 0, {}}; }

}  // namespace

TEST(ControlRequest, EveryRequestReadsBackAndEverythingElseIsRefused) {
  ControlRequest row{ControlCommand::kRow, "", 12, RowAction::kRestart, false};
  ControlRequest forced = row;
  forced.action = RowAction::kStop;
  forced.force = true;
  ControlRequest tick = row;
  tick.action = RowAction::kUntick;
  ControlRequest interval{ControlCommand::kSet, ""};
  interval.option = WindowOption::kInterval;
  interval.value = 120;
  ControlRequest detect{ControlCommand::kSet, ""};
  detect.option = WindowOption::kDetect;
  for (const ControlRequest& sent : {ControlRequest{ControlCommand::kStatus, ""}, ControlRequest{ControlCommand::kStop, ""},
                                     ControlRequest{ControlCommand::kStart, kPlanName},
                                     ControlRequest{ControlCommand::kQuit, ""}, row, forced, tick, interval, detect,
                                     ControlRequest{ControlCommand::kShow, kPlanName},
                                     ControlRequest{ControlCommand::kChanges, ""}}) {
    ControlRequest read;
    ASSERT_EQ(Parse(FormatControlRequest(sent), &read), RequestError::kNone) << FormatControlRequest(sent);
    EXPECT_EQ(read.command, sent.command);
    EXPECT_EQ(read.plan, sent.plan);
    EXPECT_EQ(read.row, sent.row);
    EXPECT_EQ(read.action, sent.action);
    EXPECT_EQ(read.force, sent.force);
    EXPECT_EQ(read.option, sent.option);
    EXPECT_EQ(read.value, sent.value);
  }
  EXPECT_EQ(FormatControlRequest(forced), kHead + "row\n12\nstop\nforce\n");
  EXPECT_EQ(FormatControlRequest(detect), kHead + "set\ndetect\noff\n");
  // The limit is the last byte that fits.
  const std::string longest = kHead + "start\n" + std::string(kMaxRequestBytes - kHead.size() - 7, 'p') + "\n";
  EXPECT_EQ(Parse(longest), RequestError::kNone);
  EXPECT_EQ(Parse(longest + "\n"), RequestError::kTooLong);

  EXPECT_EQ(Parse(""), RequestError::kNotARequest);
  EXPECT_EQ(Parse("status\n"), RequestError::kNotARequest);
  EXPECT_EQ(Parse("morvastel-control 2\nstatus\n"), RequestError::kNotARequest);
  EXPECT_EQ(Parse(kHead + "sta"), RequestError::kMalformed);  // cut short
  EXPECT_EQ(Parse(kHead + "status"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "status\nstop\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "stop\nx"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "quit\nquit\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "Status\n"), RequestError::kUnknownCommand);
  // The console program's own commands are made of requests, never sent.
  for (const char* own : {"restart\n", "check\n", "list\n", "version\n"}) {
    EXPECT_EQ(Parse(kHead + own), RequestError::kUnknownCommand) << own;
  }
  EXPECT_EQ(Parse(kHead + "start\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "start\np"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "start\np\nq\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "start\n\n"), RequestError::kBadPlanName);
  EXPECT_EQ(Parse(kHead + "start\np\r\n"), RequestError::kBadPlanName);
  EXPECT_EQ(Parse(kHead + "start\n" + std::string("p\0q", 3) + "\n"), RequestError::kBadPlanName);
  EXPECT_EQ(Parse(kHead + "start\n\xd2\xbb\xc7\xf8\n"), RequestError::kBadPlanName);  // GBK, not UTF-8

  // A row has one form: its number from 1 without leading zeros, an action,
  // and "force" or nothing.
  EXPECT_EQ(Parse(kHead + "row\n999999\nstart\n"), RequestError::kNone);
  for (const char* bad : {"0", "01", "1000000", "-1", "+1", " 1", "1 ", "", "x"}) {
    EXPECT_EQ(Parse(kHead + "row\n" + bad + "\nstop\n"), RequestError::kBadRow) << bad;
  }
  EXPECT_EQ(Parse(kHead + "row\n1\nkill\n"), RequestError::kBadRow);
  EXPECT_EQ(Parse(kHead + "row\n1\nStop\n"), RequestError::kBadRow);
  EXPECT_EQ(Parse(kHead + "row\n1\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "row\n1\nstop"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "row\n1\nstop\nforce"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "row\n1\nstop\nforced\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "row\n1\nstop\nforce\nforce\n"), RequestError::kMalformed);
  // A tick ends nothing, so nothing forces it.
  EXPECT_EQ(Parse(kHead + "row\n1\ntick\nforce\n"), RequestError::kMalformed);

  // An option takes its own values only: on/off, or the interval's seconds
  // within the window's range in one form.
  EXPECT_EQ(Parse(kHead + "set\nrerun\non\n"), RequestError::kNone);
  EXPECT_EQ(Parse(kHead + "set\ninterval\n15\n"), RequestError::kNone);
  for (const char* bad : {"rerun\n1", "rerun\nOn", "notify\n", "interval\n14", "interval\n121", "interval\n030",
                          "interval\non", "Rerun\non", "tick\non"}) {
    EXPECT_EQ(Parse(kHead + "set\n" + bad + "\n"), RequestError::kBadOption) << bad;
  }
  EXPECT_EQ(Parse(kHead + "set\nrerun\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "set\nrerun\non\nx\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "show\n\n"), RequestError::kBadPlanName);
  EXPECT_EQ(Parse(kHead + "changes\nx\n"), RequestError::kMalformed);

  // A name with a line break cannot smuggle a second command in.
  EXPECT_NE(Parse(FormatControlRequest({ControlCommand::kStart, "p\nstop"})), RequestError::kNone);
}

TEST(ControlReply, CodeAndBodyReadBack) {
  ControlReply reply;
  ASSERT_TRUE(ParseControlReply(FormatControlReply({ControlExit::kRefused, "a\nb"}), reply));
  EXPECT_EQ(reply.code, ControlExit::kRefused);
  EXPECT_EQ(reply.body, "a\nb");
  ASSERT_TRUE(ParseControlReply(FormatControlReply({ControlExit::kDenied, "x"}), reply));
  EXPECT_EQ(reply.code, ControlExit::kDenied);
  ASSERT_TRUE(ParseControlReply("0\n", reply));
  EXPECT_EQ(reply.code, ControlExit::kDone);
  EXPECT_EQ(reply.body, "");
  for (const char* bad : {"", "0", "x\n{}", "10\n", "0{}"}) EXPECT_FALSE(ParseControlReply(bad, reply)) << bad;
}

TEST(ControlExitCodes, EveryFailureHasItsTokenAndCode) {
  const std::pair<ControlFailure, std::pair<const char*, int>> expected[] = {
      {ControlFailure::kRefused, {"E_REFUSED", 1}},       {ControlFailure::kUsage, {"E_USAGE", 2}},
      {ControlFailure::kNoPlan, {"E_NO_PLAN", 2}},        {ControlFailure::kNoRow, {"E_NO_ROW", 2}},
      {ControlFailure::kNoLauncher, {"E_NO_LAUNCHER", 3}}, {ControlFailure::kInternal, {"E_INTERNAL", 4}},
      {ControlFailure::kTimeout, {"E_TIMEOUT", 5}},       {ControlFailure::kNoReply, {"E_NO_REPLY", 6}},
      {ControlFailure::kImpostor, {"E_IMPOSTOR", 7}},     {ControlFailure::kDenied, {"E_DENIED", 8}},
  };
  for (const auto& [failure, named] : expected) {
    EXPECT_STREQ(FailureToken(failure), named.first);
    EXPECT_EQ(static_cast<int>(FailureExit(failure)), named.second) << named.first;
  }
  // A code's own token is its first; 2 alone has three.
  EXPECT_EQ(FailureOfExit(ControlExit::kUsage), ControlFailure::kUsage);
  EXPECT_EQ(FailureOfExit(ControlExit::kNoReply), ControlFailure::kNoReply);
  EXPECT_EQ(FailureOfExit(static_cast<ControlExit>(9)), ControlFailure::kInternal);

  EXPECT_EQ(FailureLine(ControlFailure::kNoRow, "\xe6\xb2\xa1"), "E_NO_ROW \xe6\xb2\xa1");
  // A reply's line keeps a token of its own code and gets one otherwise: an
  // older launcher's reason alone, or a token that would mislead.
  EXPECT_EQ(FailureLineOf(ControlExit::kUsage, "E_NO_PLAN x"), "E_NO_PLAN x");
  EXPECT_EQ(FailureLineOf(ControlExit::kUsage, "x"), "E_USAGE x");
  EXPECT_EQ(FailureLineOf(ControlExit::kRefused, "E_NO_PLAN x"), "E_REFUSED E_NO_PLAN x");
  EXPECT_EQ(FailureLineOf(ControlExit::kRefused, "E_REFUSEDx"), "E_REFUSED E_REFUSEDx");
  EXPECT_EQ(FailureLineOf(ControlExit::kRefused, ""), "E_REFUSED ");
}

TEST(ControlArguments, CommandsArgumentsAndOptionsAnywhere) {
  ControlArguments a = Args({"start", kPlanName, "/p", "23456"});
  EXPECT_EQ(a.error, ArgumentError::kNone);
  EXPECT_EQ(a.request.command, ControlCommand::kStart);
  EXPECT_EQ(a.request.plan, kPlanName);
  EXPECT_EQ(a.port, 23456);
  EXPECT_FALSE(a.wait);
  a = Args({"-P", "0", "STATUS"});
  EXPECT_EQ(a.error, ArgumentError::kNone);
  EXPECT_EQ(a.request.command, ControlCommand::kStatus);
  EXPECT_EQ(a.port, 0);
  EXPECT_EQ(Args({"stop"}).port, 22225);
  EXPECT_TRUE(Args({"stop", "/?"}).help);

  a = Args({"--WAIT", "30", "start", "p"});
  EXPECT_EQ(a.error, ArgumentError::kNone);
  EXPECT_TRUE(a.wait);
  EXPECT_EQ(a.waitSeconds, 30u);
  a = Args({"stop", "--wait", "0"});
  EXPECT_TRUE(a.wait);
  EXPECT_EQ(a.waitSeconds, 0u);
  a = Args({"restart"});
  EXPECT_EQ(a.error, ArgumentError::kNone);
  EXPECT_EQ(a.request.command, ControlCommand::kRestart);
  EXPECT_EQ(a.request.plan, "");
  a = Args({"restart", "p", "--wait", "86400"});
  EXPECT_EQ(a.request.plan, "p");
  EXPECT_EQ(a.waitSeconds, 86400u);
  a = Args({"check", kPlanName});
  EXPECT_EQ(a.request.command, ControlCommand::kCheck);
  EXPECT_EQ(a.request.plan, kPlanName);
  EXPECT_EQ(Args({"check"}).request.plan, "");
  a = Args({"row", "2", "STOP", "--force"});
  EXPECT_EQ(a.error, ArgumentError::kNone);
  EXPECT_EQ(a.request.command, ControlCommand::kRow);
  EXPECT_EQ(a.request.row, 2u);
  EXPECT_EQ(a.request.action, RowAction::kStop);
  EXPECT_TRUE(a.request.force);
  a = Args({"row", "999999", "restart"});
  EXPECT_EQ(a.request.action, RowAction::kRestart);
  EXPECT_FALSE(a.request.force);
  EXPECT_EQ(Args({"quit", "--wait", "10"}).request.command, ControlCommand::kQuit);
  EXPECT_EQ(Args({"list"}).request.command, ControlCommand::kList);
  EXPECT_EQ(Args({"version"}).request.command, ControlCommand::kVersion);
  // What a view sends has a form for scripts too, in any case.
  a = Args({"SET", "Interval", "45"});
  EXPECT_EQ(a.error, ArgumentError::kNone);
  EXPECT_EQ(a.request.option, WindowOption::kInterval);
  EXPECT_EQ(a.request.value, 45u);
  a = Args({"set", "rerun", "OFF"});
  EXPECT_EQ(a.request.option, WindowOption::kRerun);
  EXPECT_EQ(a.request.value, 0u);
  EXPECT_EQ(Args({"row", "3", "untick"}).request.action, RowAction::kUntick);
  EXPECT_EQ(Args({"show", kPlanName}).request.plan, kPlanName);
  EXPECT_EQ(Args({"changes"}).request.command, ControlCommand::kChanges);
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"set"}, {"set", "rerun"}, {"set", "rerun", "yes"}, {"set", "interval", "9"},
                                             {"set", "hide", "on"}}) {
    EXPECT_EQ(Args(bad).error, ArgumentError::kBadOption) << bad.size();
  }
  EXPECT_EQ(Args({"show"}).error, ArgumentError::kPlanMissing);
  EXPECT_EQ(Args({"set", "detect", "on", "x"}).error, ArgumentError::kSurplus);
  EXPECT_EQ(Args({"row", "1", "tick", "--force"}).error, ArgumentError::kForceNotTaken);

  EXPECT_EQ(Args({}).error, ArgumentError::kNoCommand);
  EXPECT_EQ(Args({"/p", "1"}).error, ArgumentError::kNoCommand);
  EXPECT_EQ(Args({"--wait", "1"}).error, ArgumentError::kNoCommand);
  EXPECT_EQ(Args({"kill"}).error, ArgumentError::kUnknownCommand);
  EXPECT_EQ(Args({"start"}).error, ArgumentError::kPlanMissing);
  EXPECT_EQ(Args({"start", ""}).error, ArgumentError::kPlanMissing);
  EXPECT_EQ(Args({"start", "--wait", "5"}).error, ArgumentError::kPlanMissing);
  EXPECT_EQ(Args({"start", "a", "b"}).error, ArgumentError::kSurplus);
  EXPECT_EQ(Args({"status", "x"}).error, ArgumentError::kSurplus);
  EXPECT_EQ(Args({"restart", "a", "b"}).error, ArgumentError::kSurplus);
  EXPECT_EQ(Args({"row", "1", "stop", "x"}).error, ArgumentError::kSurplus);
  EXPECT_EQ(Args({"list", "x"}).error, ArgumentError::kSurplus);
  for (const char* port : {"65536", "abc", "12a", "-1", "", "000022225"}) {
    EXPECT_EQ(Args({"status", "/p", port}).error, ArgumentError::kBadPort) << port;
  }
  EXPECT_EQ(Args({"status", "/p"}).error, ArgumentError::kBadPort);
  for (const char* wait : {"86401", "x", "-1", "1.5", ""}) {
    EXPECT_EQ(Args({"stop", "--wait", wait}).error, ArgumentError::kBadWait) << wait;
  }
  EXPECT_EQ(Args({"stop", "--wait"}).error, ArgumentError::kBadWait);
  for (const char* cannot : {"status", "check", "list", "version"}) {
    EXPECT_EQ(Args({cannot, "--wait", "5"}).error, ArgumentError::kWaitNotTaken) << cannot;
  }
  EXPECT_EQ(Args({"row", "1", "start", "--wait", "5"}).error, ArgumentError::kWaitNotTaken);
  EXPECT_EQ(Args({"stop", "--force"}).error, ArgumentError::kForceNotTaken);
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"row"}, {"row", "1"}, {"row", "0", "stop"}, {"row", "01", "stop"}, {"row", "x", "stop"},
           {"row", "1000000", "stop"}, {"row", "1", "kill"}, {"row", "stop", "1"}}) {
    EXPECT_EQ(Args(bad).error, ArgumentError::kBadRow) << bad.size();
  }

  // Every form of each option: help and --force in any case, /p only as a
  // word of its own; --wait on every command that waits, five digits at most.
  for (const char* help : {"-h", "-H", "--help", "--HELP"}) EXPECT_TRUE(Args({"kill", help}).help) << help;
  EXPECT_TRUE(Args({"--FORCE", "row", "1", "stop"}).request.force);
  EXPECT_EQ(Args({"status", "/px", "1"}).error, ArgumentError::kSurplus);
  for (const char* waits : {"stop", "restart", "quit"}) {
    EXPECT_EQ(Args({waits, "--wait", "5"}).error, ArgumentError::kNone) << waits;
  }
  EXPECT_EQ(Args({"stop", "--wait", "000005"}).error, ArgumentError::kBadWait);
  // --launcher takes the next word whole, on any command, and never none.
  const ControlArguments named = Args({"--Launcher", "D:\\新 目录\\Morvastel.exe", "status"});
  EXPECT_EQ(named.error, ArgumentError::kNone);
  EXPECT_EQ(named.launcher, "D:\\新 目录\\Morvastel.exe");
  EXPECT_EQ(named.request.command, ControlCommand::kStatus);
  EXPECT_EQ(Args({"status", "--launcher"}).error, ArgumentError::kBadLauncher);
  EXPECT_EQ(Args({"status", "--launcher", ""}).error, ArgumentError::kBadLauncher);
}

TEST(ControlPipe, LauncherPipesAreKnownByTheirNames) {
  EXPECT_EQ(ControlPipeName(22225), "\\\\.\\pipe\\morvastel-22225");
  std::uint16_t port = 1;
  EXPECT_TRUE(ControlPipePort("morvastel-22225", port));
  EXPECT_EQ(port, 22225);
  EXPECT_TRUE(ControlPipePort("morvastel-0", port));
  EXPECT_EQ(port, 0);
  EXPECT_TRUE(ControlPipePort("morvastel-65535", port));
  for (const char* other : {"morvastel-022225", "morvastel-65536", "morvastel-", "morvastel-1a", "Morvastel-1",
                            "other-1", "morvastel--1", "morvastel-123456"}) {
    EXPECT_FALSE(ControlPipePort(other, port)) << other;
  }
}

TEST(JsonWriter, EscapesAndNestsWhateverItIsGivenInPureAscii) {
  JsonWriter json;
  json.BeginObject().Key("a\"b").String("q\" \\ \n\r\t\x01\x1f\x7f/");
  json.Key("list").BeginArray().Number(-5).Bool(false).Null().BeginObject().EndObject().BeginArray().EndArray();
  json.EndArray();
  json.Key("gbk").Gbk("\xd2\xbb\xc7\xf8");            // 一区
  json.Key("not gbk").Gbk("x\xff\x81");               // not GBK
  json.Key("not utf8").String("y\xc3(\xe4\xb8");      // stray and cut-short sequences
  json.Key("beyond").String("\xf0\x9f\x98\x80!");     // U+1F600, beyond the BMP
  json.Key("\xc3\xa9").String("\xc3\xa9\xe2\x82\xac");  // é €
  json.EndObject();
  EXPECT_EQ(json.text(),
            "{\"a\\\"b\":\"q\\\" \\\\ \\n\\r\\t\\u0001\\u001f\x7f/\",\"list\":[-5,false,null,{},[]],"
            "\"gbk\":\"\\u4e00\\u533a\",\"not gbk\":\"x\\ufffd\\ufffd\","
            "\"not utf8\":\"y\\ufffd(\\ufffd\\ufffd\",\"beyond\":\"\\ud83d\\ude00!\","
            "\"\\u00e9\":\"\\u00e9\\u20ac\"}");
  EXPECT_TRUE(IsAscii(json.text()));
  EXPECT_EQ(Python(json.text(), R"(d['a"b'] == 'q" \\ \n\r\t\x01\x1f\x7f/', d['gbk'], d['beyond'] == '\U0001F600!')"),
            "True \xe4\xb8\x80\xe5\x8c\xba True");

  // Raw UTF-8 JSON, as an older launcher sends it, comes out the same.
  EXPECT_EQ(AsciiJson("{\"\xe4\xb8\x80\":[\"\xf0\x9f\x98\x80\",\"\xff\",1]}"),
            "{\"\\u4e00\":[\"\\ud83d\\ude00\",\"\\ufffd\",1]}");
  EXPECT_EQ(AsciiJson("{\"a\":\"\\u4e00\"}"), "{\"a\":\"\\u4e00\"}");
}

TEST(JsonReader, ReadsWhatTheWriterWritesAndRefusesTheRest) {
  JsonWriter json;
  json.BeginObject().Key("s").String("q\"\\\n\t\x01/\xe4\xb8\x80\xf0\x9f\x98\x80").Key("n").Number(-1234567890123);
  json.Key("a").BeginArray().Bool(true).Null().BeginArray().EndArray().EndArray().EndObject();
  const JsonValue value = Read(json.text());
  EXPECT_EQ(value.String("s"), "q\"\\\n\t\x01/\xe4\xb8\x80\xf0\x9f\x98\x80");
  EXPECT_EQ(value.Integer("n"), -1234567890123);
  ASSERT_NE(value.Find("a"), nullptr);
  ASSERT_EQ(value.Find("a")->items().size(), 3u);
  EXPECT_TRUE(value.Find("a")->items()[0].boolean());
  EXPECT_TRUE(value.Find("a")->items()[1].IsNull());
  // Missing members and members of another type give the fallback.
  EXPECT_EQ(value.String("n", "none"), "none");
  EXPECT_EQ(value.Integer("s", 7), 7);
  EXPECT_FALSE(value.Bool("missing"));

  const JsonValue numbers = Read(" {\"a\":1.5,\"b\":-0,\"c\":2e3,\"d\":1E+2,\"e\":1e300}\r\n");
  EXPECT_EQ(numbers.Integer("a", -9), -9);  // not whole
  EXPECT_EQ(numbers.Integer("b"), 0);
  EXPECT_EQ(numbers.Integer("c"), 2000);
  EXPECT_EQ(numbers.Integer("d"), 100);
  EXPECT_EQ(numbers.Integer("e", -9), -9);  // far beyond 2^53
  // Escaped surrogates pair up; a lone one is U+FFFD.
  EXPECT_EQ(Read("\"\\ud83d\\ude00\\ud83d\"").string(), "\xf0\x9f\x98\x80\xef\xbf\xbd");

  JsonValue refused;
  for (const std::string bad :
       {"", "{", "{}x", "{} {}", "[1,]", "{\"a\"}", "{\"a\":}", "{a:1}", "[01]", "[1.]", "[.5]", "[-]", "[1e]",
        "\"\\x\"", "\"\\u12\"", "\"\x01\"", "\"\xff\"", "\"open", "tru", "nul", "[true false]", "'a'"}) {
    EXPECT_FALSE(ParseJson(bad, refused)) << bad;
    EXPECT_TRUE(refused.IsNull());
  }
  // Nesting is bounded: 64 levels are read, 65 are not.
  EXPECT_TRUE(ParseJson(std::string(64, '[') + std::string(64, ']'), refused));
  EXPECT_FALSE(ParseJson(std::string(65, '[') + std::string(65, ']'), refused));
  EXPECT_FALSE(ParseJson(std::string(100000, '['), refused));
}

TEST(ControlBoard, StatusFromTheEventsTheCatalogueAndTheWindow) {
  const LauncherFacts bare{7, 22225, "", "", "", "", false, {}};
  EXPECT_EQ(ControlBoard().StatusJson(Catalogue(), bare, Ticked),
            "{\"schema\":2,\"revision\":0,\"launcher\":{\"pid\":7,\"version\":\"\",\"list\":\"\",\"port\":22225,\"folder\":\"\","
            "\"service\":false,\"title\":\"\",\"journal\":null,\"metrics\":null,\"dumps\":null},\"window\":{\"plan\":null,"
            "\"rerun\":true,\"notify\":true,\"detect\":true,\"interval\":30},\"plans\":[],\"spared\":[]}");

  // 一区 with three rows (the third never launched), then b.
  Catalogue catalogue = ReadList(
      "::\xd2\xbb\xc7\xf8\r\n1 C:\\\xb7\xfe\\a.exe C:\\ [] 0\r\n1 b.exe C:\\ [] 0\r\n0 c.exe C:\\ [] 9\r\n"
      "::b\r\n1 d.exe C:\\ [] 0\r\n\r\n");
  ControlBoard board;
  Event started = On(EventKind::kLauncherStarted, -1, -1);
  started.version = "1.0";
  started.program = "C:\\\xc1\xd0\xb1\xed.list";  // 列表
  board.OnEvent(started);
  board.OnEvent(On(EventKind::kPlanStarted, 0, -1));
  board.OnEvent(On(EventKind::kProgramAdopted, 0, 0, 100));
  board.OnEvent(On(EventKind::kRowUnticked, 0, 0));  // it runs on all the same
  board.OnEvent(On(EventKind::kProgramLaunched, 0, 1, 200));
  board.OnEvent(On(EventKind::kProgramExited, 0, 1, 200, 0xC0000005));
  board.OnEvent(On(EventKind::kProgramRelaunched, 0, 1, 201, 1));
  board.OnEvent(On(EventKind::kHangKilled, 0, 1, 201));
  board.OnEvent(On(EventKind::kProgramEnded, 0, 1, 201, 111));
  board.OnEvent(On(EventKind::kRowUnticked, 0, 2));
  board.OnEvent(On(EventKind::kProgramLaunched, 1, 0, 300));  // not the running plan's
  catalogue.m_planLaunched[0] = 2;
  const auto ticked = [](int plan, int row) { return RowFacts{!(plan == 0 && row == 2), 0, {}}; };
  const LauncherFacts launcher{4321, 23001, "C:\\j.log", "C:\\\xe5\x88\x97.prom", "", "D:\\\xe6\x9c\x8d", true, {}};
  const std::string rows = "[[p['row'],p['program'],p['ticked'],p['state'],p['pid'],p['relaunches'],"
                           "p['last_exit_code'],p['last_exit_code_hex']] for p in d['plans'][0]['programs']]";
  const std::string plans = "[[p['name'],p['running'],p['supervising'],len(p['programs'])] for p in d['plans']]";
  std::string json = board.StatusJson(catalogue, launcher, ticked);
  EXPECT_TRUE(IsAscii(json));
  EXPECT_EQ(Python(json, "d['schema'], d['launcher']"),
            "2 {'pid': 4321, 'version': '1.0', 'list': 'C:\\\\\xe5\x88\x97\xe8\xa1\xa8.list', 'port': 23001, "
            "'folder': 'D:\\\\\xe6\x9c\x8d', 'service': True, 'title': '', "
            "'journal': 'C:\\\\j.log', 'metrics': 'C:\\\\\xe5\x88\x97.prom', 'dumps': None}");
  EXPECT_EQ(Python(json, plans), "[['\xe4\xb8\x80\xe5\x8c\xba', True, False, 3], ['b', False, False, 1]]");
  // Rows count from 1, as the window and the journal count them.
  EXPECT_EQ(Python(json, rows),
            "[[1, 'C:\\\\\xe6\x9c\x8d\\\\a.exe', True, 'running', 100, 0, None, None], "
            "[2, 'b.exe', True, 'hang_killed', None, 1, 111, '0x0000006F'], "
            "[3, 'c.exe', False, 'unticked', None, 0, None, None]]");
  // Every entry has had its launch attempt: supervision.
  catalogue.m_planLaunched[0] = 3;
  json = board.StatusJson(catalogue, launcher, ticked);
  EXPECT_EQ(Python(json, "d['plans'][0]['supervising']"), "True");

  // What the host says is still ending shows so, with its process, in the
  // running plan and in any other.
  const auto ending = [](int plan, int row) { return RowFacts{true, plan == 1 || row == 0 ? 900u + row : 0u, {}}; };
  json = board.StatusJson(catalogue, launcher, ending);
  EXPECT_EQ(Python(json, "[[p['state'],p['pid']] for q in d['plans'] for p in q['programs']]"),
            "[['ending', 900], ['hang_killed', None], ['unticked', None], ['ending', 900]]");
  // One a stop asked to close says since when, and for how long, until it
  // has closed (another process's close is not its).
  board.OnEvent(On(EventKind::kTick, -1, -1, 0, 500));
  board.OnEvent(On(EventKind::kProgramAsked, 1, 0, 900, 10));
  board.OnEvent(On(EventKind::kTick, -1, -1, 0, 503));
  const std::string asked = "[[p['asked_seconds'],p['grace_seconds']] for q in d['plans'] for p in q['programs']]";
  const std::string none = "[None, None], [None, None], [None, None], ";
  board.OnEvent(On(EventKind::kProgramClosed, 1, 0, 901, 1));
  EXPECT_EQ(Python(board.StatusJson(catalogue, launcher, ending), asked), "[" + none + "[3, 10]]");
  board.OnEvent(On(EventKind::kProgramClosed, 1, 0, 900, 1));
  EXPECT_EQ(Python(board.StatusJson(catalogue, launcher, ending), asked), "[" + none + "[None, None]]");

  // A hung program being dumped; one exiting three times in five minutes
  // crash-loops while the exits stay within them.
  board.OnEvent(On(EventKind::kDumpStarted, 0, 0, 100, 60));
  for (std::uint32_t t : {1000u, 1100u, 1200u}) {
    board.OnEvent(On(EventKind::kTick, -1, -1, 0, t));
    board.OnEvent(On(EventKind::kProgramRelaunched, 0, 1, 202 + t, 2));
    board.OnEvent(On(EventKind::kProgramExited, 0, 1, 202 + t, 0xC0000409));
  }
  const std::string states = "[p['state'] for p in d['plans'][0]['programs']][:2]";
  EXPECT_EQ(Python(board.StatusJson(catalogue, launcher, ticked), states), "['dumping', 'crash_looping']");
  board.OnEvent(On(EventKind::kProgramRelaunched, 0, 1, 5000, 5));
  EXPECT_EQ(Python(board.StatusJson(catalogue, launcher, ticked), states), "['dumping', 'crash_looping']");
  board.OnEvent(On(EventKind::kTick, -1, -1, 0, 1000 + ExitWindow::kSeconds));
  EXPECT_EQ(Python(board.StatusJson(catalogue, launcher, ticked), states + ", d['plans'][0]['programs'][1]"),
            "['dumping', 'running'] {'row': 2, 'program': 'b.exe', 'folder': 'C:\\\\', 'command_line': ' ', "
            "'ticked': True, 'delay': 0, 'state': 'running', "
            "'pid': 5000, 'asked_seconds': None, 'grace_seconds': None, 'relaunches': 5, 'stale_file': False, 'status': '', 'last_exit_code': 3221226505, "
            "'last_exit_code_hex': '0xC0000409'}");

  // Taken over though its file was replaced at the row's path: so until the
  // row runs a process of its own again.
  const std::string stale = "d['plans'][0]['programs'][1]['stale_file']";
  board.OnEvent(On(EventKind::kProgramAdopted, 0, 1, 5001, static_cast<std::int64_t>(AdoptBasis::kReplacedFile)));
  EXPECT_EQ(Python(board.StatusJson(catalogue, launcher, ticked), stale), "True");
  board.OnEvent(On(EventKind::kProgramRelaunched, 0, 1, 5002, 6));
  EXPECT_EQ(Python(board.StatusJson(catalogue, launcher, ticked), stale), "False");

  // A stop leaves every row idle; the servers it spared stay in "spared"
  // until their ends are told, or a start keeps them.
  Event spared = On(EventKind::kProgramSpared, 0, 0, 100);
  spared.planName = "\xd2\xbb\xc7\xf8";
  spared.program = "C:\\Malvoryn.exe";
  board.OnEvent(spared);
  spared.row = 1;
  spared.pid = 5000;
  board.OnEvent(spared);
  board.OnEvent(On(EventKind::kPlanStopped, 0, -1));
  json = board.StatusJson(catalogue, launcher, ticked);
  EXPECT_EQ(Python(json, "{p['state'] for q in d['plans'] for p in q['programs']}, d['plans'][0]['running'], "
                         "d['spared']"),
            "{'idle'} False [{'plan': '\xe4\xb8\x80\xe5\x8c\xba', 'row': 1, 'program': 'C:\\\\Malvoryn.exe', "
            "'pid': 100}, {'plan': '\xe4\xb8\x80\xe5\x8c\xba', 'row': 2, 'program': 'C:\\\\Malvoryn.exe', "
            "'pid': 5000}]");
  board.OnEvent(On(EventKind::kProgramEnded, 0, 0, 100, 0));
  board.OnEvent(On(EventKind::kPlanStarted, 0, -1));
  board.OnEvent(On(EventKind::kProgramKept, 0, 1, 5000));
  json = board.StatusJson(catalogue, launcher, ticked);
  EXPECT_EQ(Python(json, "d['spared'], d['plans'][0]['programs'][1]['state']"), "[] running");
  // The end of an earlier run's spared server is not the row's new process's.
  board.OnEvent(On(EventKind::kProgramLaunched, 0, 0, 600));
  board.OnEvent(On(EventKind::kProgramEnded, 0, 0, 100, 0));
  EXPECT_EQ(Python(board.StatusJson(catalogue, launcher, ticked), "d['plans'][0]['programs'][0]['pid']"), "600");

  // A plan of a thousand rows, its last row running.
  std::string big = "::big\r\n";
  for (int i = 0; i < 1000; ++i) big += "1 p" + std::to_string(i) + ".exe C:\\ [] 0\r\n";
  const Catalogue thousand = ReadList(big + "\r\n");
  board.OnEvent(On(EventKind::kPlanStarted, 0, -1));
  board.OnEvent(On(EventKind::kProgramLaunched, 0, 999, 77));
  board.OnEvent(On(EventKind::kProgramHeld, 0, 0, 78, 1));
  json = board.StatusJson(thousand, bare, Ticked);
  EXPECT_EQ(Python(json, "d['plans'][0]['programs'][0]['state'], len(d['plans'][0]['programs']), "
                         "d['plans'][0]['programs'][999]['row'], d['plans'][0]['programs'][999]['pid']"),
            "held 1000 1000 77");
}

TEST(ControlBoard, PlansAreFoundByTheirExactNameInListOrder) {
  const Catalogue catalogue = ReadList("::\xd2\xbb\xc7\xf8\r\n::b\r\n::\xd2\xbb\xc7\xf8\r\n::B\r\n\r\n");
  EXPECT_EQ(FindPlanByName(catalogue, "\xe4\xb8\x80\xe5\x8c\xba"), 0);  // 一区, the first of two
  EXPECT_EQ(FindPlanByName(catalogue, "b"), 1);
  EXPECT_EQ(FindPlanByName(catalogue, "B"), 3);
  EXPECT_EQ(FindPlanByName(catalogue, "B "), -1);
  EXPECT_EQ(FindPlanByName(catalogue, "\xe4\xb8\x80"), -1);  // a prefix
  // A character GBK lacks would become '?' and match a plan named so.
  EXPECT_EQ(FindPlanByName(ReadList("::?\r\n\r\n"), "\xe0\xb8\x81"), -1);  // Thai ko kai
  EXPECT_EQ(ExitCodeHex(0), "0x00000000");
  EXPECT_EQ(ExitCodeHex(0xC0000005), "0xC0000005");
}

// The verdicts of check and the ends of the waits, judged from status
// objects the board wrote.
class StatusReading : public ::testing::Test {
 protected:
  StatusReading()
      : catalogue_(ReadList("::a\r\n1 x.exe C:\\ [] 0\r\n1 y.exe C:\\ [] 0\r\n0 z.exe C:\\ [] 0\r\n"
                            "::\xd2\xbb\xc7\xf8\r\n1 w.exe C:\\ [] 0\r\n\r\n")) {}

  JsonValue Status(std::uint32_t endingPid = 0) {
    const auto facts = [endingPid](int plan, int row) {
      return RowFacts{!(plan == 0 && row == 2), plan == 0 && row == 0 ? endingPid : 0, {}};
    };
    return Read(board_.StatusJson(catalogue_, LauncherFacts{42, 1, "", "", "", "", false, {}}, facts));
  }
  CheckVerdict Check(const std::string& plan, std::uint32_t endingPid = 0) {
    return CheckStatus(Status(endingPid), plan);
  }
  void Start(int plan) {
    board_.OnEvent(On(EventKind::kPlanStarted, plan, -1));
    catalogue_.m_planLaunched[static_cast<std::size_t>(plan)] = 0;
  }

  Catalogue catalogue_;
  ControlBoard board_;
};

TEST_F(StatusReading, CheckJudgesThePlanItsTickedRowsAndSupervision) {
  const std::string chinese = "\xe4\xb8\x80\xe5\x8c\xba";
  const CheckVerdict none = Check("");
  EXPECT_EQ(none.code, CheckCode::kCritical);
  EXPECT_EQ(none.line, "CRITICAL - no plan runs");
  EXPECT_EQ(Check("a").code, CheckCode::kCritical);

  Start(0);
  board_.OnEvent(On(EventKind::kProgramLaunched, 0, 0, 10));
  board_.OnEvent(On(EventKind::kCountdown, 0, 1, 0, 3));
  CheckVerdict v = Check("a");
  EXPECT_EQ(v.code, CheckCode::kWarning);
  EXPECT_EQ(v.line, "WARNING - 1/2 running; row 2 waiting");
  board_.OnEvent(On(EventKind::kProgramLaunched, 0, 1, 11));
  v = Check("");
  EXPECT_EQ(v.line, "WARNING - 2/2 running; not supervising yet");
  EXPECT_FALSE(v.up);
  // Unticked before its launch, the third row keeps the plan in its launch
  // phase for good: a wait ends once the rest runs, and check says why.
  board_.OnEvent(On(EventKind::kRowUnticked, 0, 2));
  v = Check("a");
  EXPECT_EQ(v.line, "WARNING - 2/2 running; not supervising: row 3 unticked: no relaunch, no hang kill");
  EXPECT_TRUE(v.up);
  board_.OnEvent(On(EventKind::kProgramExited, 0, 1, 11));
  EXPECT_FALSE(Check("a").up);
  board_.OnEvent(On(EventKind::kProgramRelaunched, 0, 1, 11, 1));
  // The unticked third row counts for nothing once supervision has begun.
  catalogue_.m_planLaunched[0] = 3;
  v = Check("a");
  EXPECT_EQ(v.code, CheckCode::kOk);
  EXPECT_EQ(v.line, "OK - 2/2 running");
  EXPECT_TRUE(v.up && v.launchPhase.empty());
  EXPECT_EQ(Check("").code, CheckCode::kOk);

  for (const auto& [kind, word] : std::vector<std::pair<EventKind, std::string>>{
           {EventKind::kProgramExited, "exited"}, {EventKind::kProgramHeld, "held"},
           {EventKind::kDumpStarted, "dumping"}, {EventKind::kLaunchFailed, "launch_failed"}}) {
    board_.OnEvent(On(kind, 0, 1, 11));
    v = Check("a");
    EXPECT_EQ(v.code, CheckCode::kWarning) << word;
    EXPECT_EQ(v.line, "WARNING - 1/2 running; row 2 " + word);
    board_.OnEvent(On(EventKind::kProgramRelaunched, 0, 1, 11, 1));
  }
  v = Check("a", 10);
  EXPECT_EQ(v.line, "WARNING - 1/2 running; row 1 ending");
  for (std::uint32_t t : {1u, 2u, 3u}) {
    board_.OnEvent(On(EventKind::kTick, -1, -1, 0, t));
    board_.OnEvent(On(EventKind::kProgramExited, 0, 0, 10, 1));
    board_.OnEvent(On(EventKind::kProgramRelaunched, 0, 0, 10, t));
  }
  EXPECT_EQ(Check("a").line, "WARNING - 1/2 running; row 1 crash_looping");

  // A delay that never comes holds it too, and that row is not waited for.
  Start(0);
  catalogue_.m_entries[1]->delaySeconds = -5;
  board_.OnEvent(On(EventKind::kProgramLaunched, 0, 0, 10));
  v = Check("a");
  EXPECT_EQ(v.line, "WARNING - 1/1 running; not supervising: row 2 delay -5: no relaunch, no hang kill");
  EXPECT_TRUE(v.up);

  // Another plan than the one named, or none of that name.
  v = Check(chinese);
  EXPECT_EQ(v.code, CheckCode::kCritical);
  EXPECT_EQ(v.line, "CRITICAL - another plan runs");
  EXPECT_EQ(Check("nope").line, "CRITICAL - no plan of that name");

  // Not a status object a check can read.
  EXPECT_EQ(CheckStatus(Read("{\"launcher\":{},\"plans\":[]}"), "").code, CheckCode::kUnknown);
  EXPECT_EQ(CheckStatus(Read("{\"schema\":1,\"plans\":[]}"), "").code, CheckCode::kUnknown);
  EXPECT_EQ(CheckStatus(Read("[]"), "").code, CheckCode::kUnknown);
  EXPECT_EQ(UnknownVerdict("E_IMPOSTOR", 22225).line, "UNKNOWN - E_IMPOSTOR on port 22225");
}

TEST_F(StatusReading, AStopHasSettledOnceItsEndingAndSparedProcessesAreGone) {
  Start(0);
  board_.OnEvent(On(EventKind::kProgramLaunched, 0, 0, 10));
  Event spared = On(EventKind::kProgramSpared, 0, 1, 11);
  spared.planName = "a";
  board_.OnEvent(spared);
  board_.OnEvent(On(EventKind::kPlanStopped, 0, -1));
  EXPECT_EQ(RunningPlanName(Status()), "");
  EXPECT_EQ(StatusLauncherPid(Status()), 42u);
  // Row 1 is still ending, row 2's server still saves.
  EXPECT_FALSE(StopSettled(Status(10), "a"));
  EXPECT_FALSE(StopSettled(Status(), "a"));
  EXPECT_FALSE(StopSettled(Status(), ""));
  EXPECT_TRUE(StopSettled(Status(10), "\xe4\xb8\x80\xe5\x8c\xba"));  // another plan's stop
  board_.OnEvent(On(EventKind::kProgramEnded, 0, 1, 11, 0));
  EXPECT_FALSE(StopSettled(Status(10), "a"));
  EXPECT_TRUE(StopSettled(Status(), "a"));
  EXPECT_TRUE(StopSettled(Status(), ""));
  // A plan started again has its own processes, ending ones included.
  Start(0);
  EXPECT_EQ(RunningPlanName(Status()), "a");
  EXPECT_TRUE(StopSettled(Status(10), "a"));
  EXPECT_FALSE(StopSettled(Read("{\"schema\":1,\"plans\":[]}"), ""));
}

// A view of another launcher reads what its window would show from the
// status object, and each click becomes the request the window would act on.
TEST_F(StatusReading, AViewShowsTheLaunchersRowsAndOptionsAndAsksForEachClick) {
  LauncherFacts launcher{42, 23001, "", "", "", "", true, {}};
  launcher.window = WindowFacts{"\xb5\xf7\xb6\xc8", 0, false, true, false, 45, 9};  // 调度
  Start(0);
  board_.OnEvent(On(EventKind::kProgramLaunched, 0, 1, 200));
  const auto facts = [](int plan, int row) {
    return RowFacts{plan == 1 || row != 2, 0, plan == 0 ? "\xd4\xcb\xd0\xd0" + std::to_string(row) : "x"};  // 运行
  };
  LauncherView view;
  ASSERT_TRUE(ReadLauncherView(Read(board_.StatusJson(catalogue_, launcher, facts)), view));
  EXPECT_EQ(view.revision, 9u);
  EXPECT_EQ(view.pid, 42u);
  EXPECT_TRUE(view.service);
  EXPECT_EQ(view.catalogue.m_planNames, (std::vector<std::string>{"a", "\xd2\xbb\xc7\xf8"}));  // GBK again
  EXPECT_EQ(view.runningPlan, 0);
  EXPECT_EQ(view.catalogue.m_planRunning, (std::vector<std::uint32_t>{1, 0}));
  EXPECT_EQ(view.shownPlan, 0);
  const std::vector<ProgramRow> rows = ProgramListRows(view.catalogue, 0);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].program, "y.exe");
  EXPECT_EQ(rows[1].directory, "C:\\");
  EXPECT_EQ(rows[1].commandLine, catalogue_.m_entries[1]->commandLine);
  EXPECT_EQ(rows[2].delay, ProgramListRows(catalogue_, 0)[2].delay);
  EXPECT_EQ((std::vector<bool>{rows[0].checked, rows[1].checked, rows[2].checked}),
            (std::vector<bool>{true, true, false}));
  EXPECT_EQ(view.status, (std::vector<std::string>{"\xd4\xcb\xd0\xd0" "0", "\xd4\xcb\xd0\xd0" "1", "\xd4\xcb\xd0\xd0" "2"}));
  EXPECT_EQ((std::vector<int>{view.rerun, view.notify, view.detect, view.interval}), (std::vector<int>{0, 1, 0, 45}));
  EXPECT_EQ(ViewCaption(view, ViewLink::kConnected), "\xb5\xf7\xb6\xc8" + FormatText(texts::kViewOfService, "", 23001u));
  EXPECT_NE(ViewCaption(view, ViewLink::kGone), ViewCaption(view, ViewLink::kConnected));

  // Only ticks, states and options moved: the window keeps its list.
  LauncherView again;
  launcher.window.shownPlan = 1;
  ASSERT_TRUE(ReadLauncherView(Read(board_.StatusJson(catalogue_, launcher, Ticked)), again));
  EXPECT_TRUE(SameLayout(view.catalogue, again.catalogue));
  EXPECT_EQ(again.status, (std::vector<std::string>{""}));
  again.catalogue.m_entries[3]->delaySeconds = 1;
  EXPECT_FALSE(SameLayout(view.catalogue, again.catalogue));

  // The button stops what runs whatever the chooser shows; with nothing
  // running it starts the chosen plan by its name, or asks nothing.
  ControlRequest request;
  ASSERT_TRUE(StartStopRequest(view, 1, request));
  EXPECT_EQ(FormatControlRequest(request), kHead + "stop\n");
  view.runningPlan = -1;
  ASSERT_TRUE(StartStopRequest(view, 1, request));
  EXPECT_EQ(FormatControlRequest(request), kHead + "start\n\xe4\xb8\x80\xe5\x8c\xba\n");
  EXPECT_FALSE(StartStopRequest(view, 2, request));
  EXPECT_EQ(FormatControlRequest(ShowRequest(view, 0)), kHead + "show\na\n");
  EXPECT_EQ(FormatControlRequest(TickRequest(0, false)), kHead + "row\n1\nuntick\n");
  EXPECT_EQ(FormatControlRequest(OptionRequest(WindowOption::kRerun, 1)), kHead + "set\nrerun\non\n");
  EXPECT_EQ(FormatControlRequest(OptionRequest(WindowOption::kInterval, 5)), kHead + "set\ninterval\n15\n");
  EXPECT_EQ(FormatControlRequest(OptionRequest(WindowOption::kInterval, 500)), kHead + "set\ninterval\n120\n");

  // What is not a launcher's status with its window leaves the view as it was.
  EXPECT_FALSE(ReadLauncherView(Read("{\"schema\":2,\"plans\":[]}"), view));
  EXPECT_FALSE(ReadLauncherView(Read("[1]"), view));
  EXPECT_EQ(view.revision, 9u);
}
