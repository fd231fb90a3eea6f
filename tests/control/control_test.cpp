// The control pipe's words, the console program's command line, the JSON
// writer and the status object, in the core; the status object is read back
// by Python's json as a client would.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "text/encoding.h"
#include "catalogue/launch_list.h"
#include "control/control_board.h"
#include "control/control_protocol.h"
#include "control/json_writer.h"
#include "report/events.h"

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
  std::ofstream("control_test.json", std::ios::binary) << json;
  std::ofstream("control_test.py", std::ios::binary)
      << "import json\nd = json.load(open('control_test.json', encoding='utf-8'))\nprint(" << expression << ")\n";
  const std::string command = "python3 control_test.py 2>&1";
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

TEST(ControlRequest, TheThreeCommandsReadBackAndEverythingElseIsRefused) {
  for (const ControlRequest& sent : {ControlRequest{ControlCommand::kStatus, ""}, ControlRequest{ControlCommand::kStop, ""},
                                     ControlRequest{ControlCommand::kStart, kPlanName}}) {
    ControlRequest read;
    ASSERT_EQ(Parse(FormatControlRequest(sent), &read), RequestError::kNone);
    EXPECT_EQ(read.command, sent.command);
    EXPECT_EQ(read.plan, sent.plan);
  }
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
  EXPECT_EQ(Parse(kHead + "Status\n"), RequestError::kUnknownCommand);
  EXPECT_EQ(Parse(kHead + "start\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "start\np"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "start\np\nq\n"), RequestError::kMalformed);
  EXPECT_EQ(Parse(kHead + "start\n\n"), RequestError::kBadPlanName);
  EXPECT_EQ(Parse(kHead + "start\np\r\n"), RequestError::kBadPlanName);
  EXPECT_EQ(Parse(kHead + "start\n" + std::string("p\0q", 3) + "\n"), RequestError::kBadPlanName);
  EXPECT_EQ(Parse(kHead + "start\n\xd2\xbb\xc7\xf8\n"), RequestError::kBadPlanName);  // GBK, not UTF-8

  // A name with a line break cannot smuggle a second command in.
  EXPECT_NE(Parse(FormatControlRequest({ControlCommand::kStart, "p\nstop"})), RequestError::kNone);
}

TEST(ControlReply, CodeAndBodyReadBack) {
  ControlReply reply;
  ASSERT_TRUE(ParseControlReply(FormatControlReply({ControlExit::kRefused, "a\nb"}), reply));
  EXPECT_EQ(reply.code, ControlExit::kRefused);
  EXPECT_EQ(reply.body, "a\nb");
  ASSERT_TRUE(ParseControlReply("0\n", reply));
  EXPECT_EQ(reply.code, ControlExit::kDone);
  EXPECT_EQ(reply.body, "");
  for (const char* bad : {"", "0", "x\n{}", "10\n", "0{}"}) EXPECT_FALSE(ParseControlReply(bad, reply)) << bad;
}

TEST(ControlArguments, CommandPlanAndPortAnywhere) {
  ControlArguments a = Args({"start", kPlanName, "/p", "23456"});
  EXPECT_EQ(a.error, ArgumentError::kNone);
  EXPECT_EQ(a.request.command, ControlCommand::kStart);
  EXPECT_EQ(a.request.plan, kPlanName);
  EXPECT_EQ(a.port, 23456);
  a = Args({"-P", "0", "STATUS"});
  EXPECT_EQ(a.error, ArgumentError::kNone);
  EXPECT_EQ(a.request.command, ControlCommand::kStatus);
  EXPECT_EQ(a.port, 0);
  EXPECT_EQ(Args({"stop"}).port, 22225);
  EXPECT_TRUE(Args({"stop", "/?"}).help);

  EXPECT_EQ(Args({}).error, ArgumentError::kNoCommand);
  EXPECT_EQ(Args({"/p", "1"}).error, ArgumentError::kNoCommand);
  EXPECT_EQ(Args({"restart"}).error, ArgumentError::kUnknownCommand);
  EXPECT_EQ(Args({"start"}).error, ArgumentError::kPlanMissing);
  EXPECT_EQ(Args({"start", ""}).error, ArgumentError::kPlanMissing);
  EXPECT_EQ(Args({"start", "a", "b"}).error, ArgumentError::kSurplus);
  EXPECT_EQ(Args({"status", "x"}).error, ArgumentError::kSurplus);
  for (const char* port : {"65536", "abc", "12a", "-1", "", "000022225"}) {
    EXPECT_EQ(Args({"status", "/p", port}).error, ArgumentError::kBadPort) << port;
  }
  EXPECT_EQ(Args({"status", "/p"}).error, ArgumentError::kBadPort);
}

TEST(JsonWriter, EscapesAndNestsWhateverItIsGiven) {
  JsonWriter json;
  json.BeginObject().Key("a\"b").String("q\" \\ \n\r\t\x01\x1f\x7f/");
  json.Key("list").BeginArray().Number(-5).Bool(false).Null().BeginObject().EndObject().BeginArray().EndArray();
  json.EndArray();
  json.Key("gbk").Gbk("\xd2\xbb\xc7\xf8");            // 一区
  json.Key("not gbk").Gbk("x\xff\x81");               // not GBK
  json.Key("not utf8").String("y\xc3(\xe4\xb8");      // stray and cut-short sequences
  json.EndObject();
  EXPECT_EQ(json.text(),
            "{\"a\\\"b\":\"q\\\" \\\\ \\n\\r\\t\\u0001\\u001f\x7f/\",\"list\":[-5,false,null,{},[]],"
            "\"gbk\":\"\xe4\xb8\x80\xe5\x8c\xba\",\"not gbk\":\"x\xef\xbf\xbd\xef\xbf\xbd\","
            "\"not utf8\":\"y\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd\"}");
  EXPECT_EQ(Python(json.text(), R"(d['a"b'] == 'q" \\ \n\r\t\x01\x1f\x7f/', d['gbk'])"), "True \xe4\xb8\x80\xe5\x8c\xba");
}

TEST(ControlBoard, StatusFromTheEventsAndTheCatalogue) {
  const auto none = [](int, int) { return true; };
  EXPECT_EQ(ControlBoard().StatusJson(Catalogue(), 7, 22225, none),
            "{\"launcher\":{\"pid\":7,\"version\":\"\",\"list\":\"\",\"port\":22225},\"plans\":[]}");

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
  const auto ticked = [](int plan, int row) { return !(plan == 0 && row == 2); };
  const std::string rows = "[[p['row'],p['program'],p['ticked'],p['state'],p['pid'],p['relaunches'],"
                           "p['last_exit_code']] for p in d['plans'][0]['programs']]";
  const std::string plans = "[[p['name'],p['running'],p['supervising'],len(p['programs'])] for p in d['plans']]";
  const std::string launcher = "d['launcher']";
  std::string json = board.StatusJson(catalogue, 4321, 23001, ticked);
  EXPECT_EQ(Python(json, launcher),
            "{'pid': 4321, 'version': '1.0', 'list': 'C:\\\\\xe5\x88\x97\xe8\xa1\xa8.list', 'port': 23001}");
  EXPECT_EQ(Python(json, plans), "[['\xe4\xb8\x80\xe5\x8c\xba', True, False, 3], ['b', False, False, 1]]");
  EXPECT_EQ(Python(json, rows),
            "[[0, 'C:\\\\\xe6\x9c\x8d\\\\a.exe', True, 'running', 100, 0, None], "
            "[1, 'b.exe', True, 'hang_killed', None, 1, 111], [2, 'c.exe', False, 'unticked', None, 0, None]]");
  // Every entry has had its launch attempt: supervision.
  catalogue.m_planLaunched[0] = 3;
  json = board.StatusJson(catalogue, 4321, 23001, ticked);
  EXPECT_EQ(Python(json, "d['plans'][0]['supervising']"), "True");

  // A stop leaves every row idle.
  board.OnEvent(On(EventKind::kPlanStopped, 0, -1));
  json = board.StatusJson(catalogue, 4321, 23001, ticked);
  EXPECT_EQ(Python(json, "{p['state'] for q in d['plans'] for p in q['programs']}, d['plans'][0]['running']"),
            "{'idle'} False");

  // A plan of a thousand rows, its last row running.
  std::string big = "::big\r\n";
  for (int i = 0; i < 1000; ++i) big += "1 p" + std::to_string(i) + ".exe C:\\ [] 0\r\n";
  const Catalogue thousand = ReadList(big + "\r\n");
  board.OnEvent(On(EventKind::kPlanStarted, 0, -1));
  board.OnEvent(On(EventKind::kProgramLaunched, 0, 999, 77));
  board.OnEvent(On(EventKind::kProgramHeld, 0, 0, 78, 1));
  json = board.StatusJson(thousand, 1, 2, none);
  EXPECT_EQ(Python(json, "d['plans'][0]['programs'][0]['state'], len(d['plans'][0]['programs']), "
                         "d['plans'][0]['programs'][999]"),
            "held 1000 {'row': 999, 'program': 'p999.exe', 'ticked': True, 'state': 'running', 'pid': 77, "
            "'relaunches': 0, 'last_exit_code': None}");
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
}
