// The demo programs on real sockets and processes under Wine: what the live
// demo relies on them to do. Heartbeats go to a port of the test's own and the
// servers listen on free ports, so a launcher running meanwhile is not
// disturbed.
#include <gtest/gtest.h>

#include <string>

#include "demo_test_support.h"

using namespace demo_test;

namespace {

class Winsock : public ::testing::Environment {
 public:
  void SetUp() override {
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { WSACleanup(); }
};
const auto* const kWinsock = ::testing::AddGlobalTestEnvironment(new Winsock);

// Sends `payload` the way the launcher sends the exit notice.
void SendToNoticeAddress(const std::string& payload, std::uint16_t port) {
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  const BOOL allow = TRUE;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&allow), sizeof allow);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = inet_addr("127.0.0.255");
  EXPECT_EQ(sendto(s, payload.data(), static_cast<int>(payload.size()), 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to),
            static_cast<int>(payload.size()));
  closesocket(s);
}

std::string Options(std::uint16_t heartbeatPort) { return " --port " + std::to_string(heartbeatPort); }

}  // namespace

TEST(DemoServer, HeartbeatsUntilTheNoticeThenSavesAndExitsWithZero) {
  ScratchDir dir;
  UdpPort beats;
  const std::uint16_t exitPort = FreePort();
  Child server(ProgramPath("Malvoryn.exe") + Options(beats.port()) + " --beat-every 1 --exit-port " +
                   std::to_string(exitPort),
               dir.path());
  ASSERT_EQ(HeartbeatId(beats.Receive(5000)), server.pid());

  // Near misses of the notice change nothing: the next heartbeat still comes.
  SendToNoticeAddress("sdc-exi", exitPort);
  SendToNoticeAddress("sdc-exit!", exitPort);
  SendToNoticeAddress("SDC-EXIT", exitPort);
  EXPECT_EQ(HeartbeatId(beats.Receive(5000)), server.pid());
  EXPECT_TRUE(server.Running());

  SendToNoticeAddress("sdc-exit", exitPort);
  EXPECT_EQ(server.Finish(), 0u);
  const std::string saved = ReadText(dir.File("Malvoryn-save.txt"));
  EXPECT_NE(saved.find("by pid " + std::to_string(server.pid())), std::string::npos) << saved;
  EXPECT_NE(saved.find("heartbeats "), std::string::npos) << saved;
  EXPECT_EQ(GetFileAttributesA(dir.File("Malvoryn-save.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
  const std::string log = ReadText(dir.File("Malvoryn.log"));
  EXPECT_NE(log.find("exit notice received"), std::string::npos) << log;
  EXPECT_NE(log.find("saved to Malvoryn-save.txt"), std::string::npos) << log;
}

TEST(DemoServer, SaysSoAndEndsWhenItsNoticePortIsTaken) {
  ScratchDir dir;
  UdpPort beats;
  // The port held the way a second server would hold it.
  const SOCKET holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  int length = sizeof local;
  getsockname(holder, reinterpret_cast<sockaddr*>(&local), &length);

  Child server(ProgramPath("Corvellinex.exe") + Options(beats.port()) + " --exit-port " +
                   std::to_string(ntohs(local.sin_port)),
               dir.path());
  EXPECT_EQ(server.Finish(), 1u);
  closesocket(holder);
  EXPECT_TRUE(beats.Receive(0).empty()) << "no heartbeat from a server that cannot hear the notice";
  const std::string log = ReadText(dir.File("Corvellinex.log"));
  EXPECT_NE(log.find("cannot listen for the exit notice"), std::string::npos) << log;
}

TEST(StallWorker, FallsSilentButKeepsRunningAndItsSuccessorSaysHowLongItWasSilent) {
  ScratchDir dir;
  UdpPort beats;
  {
    Child worker(ProgramPath("StallWorker.exe") + Options(beats.port()) + " --beat-for 0", dir.path());
    ASSERT_EQ(HeartbeatId(beats.Receive(5000)), worker.pid());
    // One heartbeat period and a margin without a heartbeat: it has hung.
    EXPECT_TRUE(beats.Receive(2500).empty());
    EXPECT_TRUE(worker.Running());
    EXPECT_NE(ReadText(dir.File("StallWorker.log")).find("hanging now"), std::string::npos);
  }  // killed here, as the launcher would kill it

  Child successor(ProgramPath("StallWorker.exe") + Options(beats.port()) + " --beat-for 0", dir.path());
  ASSERT_EQ(HeartbeatId(beats.Receive(5000)), successor.pid());
  const std::string log = ReadText(dir.File("StallWorker.log"));
  EXPECT_NE(log.find("started (instance 2): the previous instance was silent for"), std::string::npos) << log;
}

TEST(BriefWorker, ExitsByItselfWithCodeThreeAndNumbersItsStarts) {
  ScratchDir dir;
  for (int instance = 1; instance <= 2; ++instance) {
    Child worker(ProgramPath("BriefWorker.exe") + " --exit-after 0", dir.path());
    EXPECT_EQ(worker.Finish(), 3u);
  }
  const std::string log = ReadText(dir.File("BriefWorker.log"));
  EXPECT_NE(log.find("started (instance 1)"), std::string::npos) << log;
  EXPECT_NE(log.find("started (instance 2)"), std::string::npos) << log;
  EXPECT_NE(log.find("exiting by itself with code 3"), std::string::npos) << log;
}
