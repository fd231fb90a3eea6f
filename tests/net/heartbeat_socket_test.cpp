// The heartbeat listener on real sockets under Wine, driven by a message pump.
#include "net/heartbeat_socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "net/socket_test_support.h"

using test_support::PumpUntil;
using test_support::Sender;
using Ids = std::vector<std::uint32_t>;

namespace {
const auto* const kWinsock =
    ::testing::AddGlobalTestEnvironment(new test_support::SocketLayerEnvironment);

constexpr std::uint32_t kMarker = 0x4D41524B;

// A listener with its table on a clock that stands still unless moved.
struct Listener {
  std::uint32_t now = 500;
  LivenessTable table{[this] { return now; }};
  HeartbeatSocket socket{table};

  bool Has(std::uint32_t id) const {
    const Ids& ids = table.ProcessIds();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }
  // Sends the marker after whatever `sender` sent before and pumps until it
  // is in the table, so everything sent earlier has been handled too.
  bool Settle(Sender& sender, const char* address = "127.0.0.1", std::uint32_t marker = kMarker) {
    sender.Heartbeat(marker, address, socket.LocalPort());
    return PumpUntil([this, marker] { return Has(marker); });
  }
};
}  // namespace

TEST(HeartbeatSocket, FourByteDatagramsEnterTheTableAndRefreshesAddNothing) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  const std::uint16_t port = l.socket.LocalPort();
  ASSERT_NE(port, 0);
  Sender sender;
  sender.Heartbeat(1234, "127.0.0.1", port);
  const unsigned char littleEndian[4] = {0x01, 0x02, 0x03, 0x04};
  sender.Send(littleEndian, 4, "127.0.0.1", port);
  ASSERT_TRUE(PumpUntil([&] { return l.table.ProcessIds().size() == 2; }));
  l.now = 510;
  sender.Heartbeat(1234, "127.0.0.1", port);
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{1234, 0x04030201, kMarker}));
  EXPECT_EQ(l.table.Times(), (Ids{510, 500, 510}));
}

TEST(HeartbeatSocket, DatagramsOfAnyOtherLengthChangeNothing) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  Sender sender;
  const char bytes[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  for (int length : {0, 3, 5, 8}) sender.Send(bytes, length, "127.0.0.1", l.socket.LocalPort());
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{kMarker}));
}

TEST(HeartbeatSocket, AnyAddressListenerHearsLoopbackAndTheMachinesOwnAddress) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  Sender sender;
  sender.Heartbeat(7, "127.0.0.1", l.socket.LocalPort());
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{7, kMarker}));
  // A datagram to one of the machine's own addresses comes from that address.
  if (l.socket.LocalAddresses().empty()) GTEST_SKIP() << "this machine has no non-loopback IPv4 address";
  in_addr own{};
  own.s_addr = htonl(l.socket.LocalAddresses().front());
  const std::string address = inet_ntoa(own);
  sender.Heartbeat(8, address.c_str(), l.socket.LocalPort());
  ASSERT_TRUE(PumpUntil([&] { return l.Has(8); })) << "nothing heard on " << address;
}

TEST(HeartbeatSocket, BoundListenerHearsOnlyDatagramsSentToItsAddress) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("127.0.0.1", 0));
  const std::uint16_t port = l.socket.LocalPort();
  Sender sender;
  sender.Heartbeat(41, "127.0.0.2", port);
  if (!l.socket.LocalAddresses().empty()) {
    in_addr own{};
    own.s_addr = htonl(l.socket.LocalAddresses().front());
    sender.Heartbeat(42, inet_ntoa(own), port);
  }
  sender.Heartbeat(43, "127.0.0.1", port);
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{43, kMarker}));
}

namespace {
bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}
}  // namespace

TEST(HeartbeatSocket, ListenerBoundToAnotherLoopbackAddress) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("127.0.0.2", 0)) << "error " << WSAGetLastError();
  const std::uint16_t port = l.socket.LocalPort();
  Sender sender;
  sender.Heartbeat(22, "127.0.0.2", port);
  ASSERT_TRUE(l.Settle(sender, "127.0.0.2"));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{22, kMarker}));
  if (UnderWine()) {
    GTEST_SKIP() << "Wine 8 binds a datagram socket on 127.0.0.2 (any address that is not "
                    "exactly an interface's) to all addresses, so here it hears 127.0.0.1 too";
  }
  // A plain socket on 127.0.0.1 and the same port proves that a datagram sent
  // there was delivered, just not to the listener.
  SOCKET other = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in otherAddress = test_support::Ipv4("127.0.0.1", port);
  ASSERT_EQ(bind(other, reinterpret_cast<const sockaddr*>(&otherAddress), sizeof otherAddress), 0)
      << "error " << WSAGetLastError();
  sender.Heartbeat(21, "127.0.0.1", port);
  ASSERT_TRUE(l.Settle(sender, "127.0.0.2", kMarker + 1));
  unsigned char bytes[8] = {};
  EXPECT_EQ(recv(other, reinterpret_cast<char*>(bytes), sizeof bytes, 0), 4);
  EXPECT_EQ(bytes[0], 21);
  closesocket(other);
  EXPECT_EQ(l.table.ProcessIds(), (Ids{22, kMarker, kMarker + 1}));
}

TEST(HeartbeatSocket, BadAddressOrTakenPortFailsAndLeavesNothingOpen) {
  LivenessTable table([] { return 0u; });
  // Not a dotted address, the one inet_addr cannot tell from failure, and a
  // well-formed address that is not this machine's.
  for (const char* address : {"abc", "localhost", "255.255.255.255", "198.51.100.77"}) {
    HeartbeatSocket listener(table);
    EXPECT_FALSE(listener.Open(address, 0)) << address;
    EXPECT_FALSE(listener.IsOpen()) << address;
  }
  // A port someone else holds.
  SOCKET holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in held = test_support::Ipv4("127.0.0.1", 0);
  ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&held), sizeof held), 0);
  int length = sizeof held;
  getsockname(holder, reinterpret_cast<sockaddr*>(&held), &length);
  const std::uint16_t port = ntohs(held.sin_port);
  HeartbeatSocket onAny(table);
  EXPECT_FALSE(onAny.Open("", port));
  HeartbeatSocket onSame(table);
  EXPECT_FALSE(onSame.Open("127.0.0.1", port));
  // Heartbeats to that port reach the holder; pumping finds nothing to crash on.
  Sender sender;
  sender.Heartbeat(5, "127.0.0.1", port);
  char bytes[4];
  EXPECT_EQ(recv(holder, bytes, sizeof bytes, 0), 4);
  PumpUntil([] { return false; }, 0);
  EXPECT_TRUE(table.ProcessIds().empty());
  closesocket(holder);
  // An open listener cannot be opened a second time.
  HeartbeatSocket twice(table);
  ASSERT_TRUE(twice.Open("", 0));
  EXPECT_FALSE(twice.Open("", 0));
  EXPECT_TRUE(twice.IsOpen());
}

TEST(HeartbeatSocket, PortZeroBindsAPortNoSenderIsTold) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  EXPECT_NE(l.socket.LocalPort(), 0);
  EXPECT_NE(l.socket.LocalPort(), 22225);
  Sender sender;
  sender.Heartbeat(9, "127.0.0.1", 22225);  // where a program sends by default
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{kMarker}));
}

TEST(HeartbeatSocket, HeartbeatOfTheClientHeaderCarriesTheSendersProcessId) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  const std::string command = "\"" + test_support::HelperPath("heartbeat_helper.exe") + "\" " +
                              std::to_string(l.socket.LocalPort());
  PROCESS_INFORMATION helper = test_support::StartProcess(command);
  const std::uint32_t helperId = helper.dwProcessId;
  ASSERT_NE(helperId, 0u);
  EXPECT_EQ(test_support::FinishProcess(helper), 0u);
  ASSERT_TRUE(PumpUntil([&] { return l.Has(helperId); }));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{helperId}));
}

namespace {
// Runs a shell command on the Unix side of Wine and returns its exit code,
// or -1 when it did not finish within `limitMs`. Wine gives no waitable handle
// for a Unix program, so the command reports its exit code in a file under
// /tmp, and the test waits for that file on a change notification.
int RunUnixShell(const std::string& command, DWORD limitMs = 10000) {
  static int serial = 0;
  const std::string name =
      "mvst-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
  const std::string unixDone = "/tmp/" + name;
  const std::string windowsDone = "Z:\\tmp\\" + name;
  HANDLE change = FindFirstChangeNotificationA("Z:\\tmp", FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  if (change == INVALID_HANDLE_VALUE) return -1;
  // Wine hands a Unix program its own PATH, so name the usual one.
  PROCESS_INFORMATION process = test_support::StartProcess(
      "Z:\\bin\\sh -c \"PATH=/usr/sbin:/usr/bin:/sbin:/bin; (" + command +
      ") >/dev/null 2>&1; echo $? > " + unixDone + ".part; mv " + unixDone + ".part " + unixDone +
      "\"");
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  const ULONGLONG deadline = GetTickCount64() + limitMs;
  int code = -1;
  for (;;) {
    FILE* file = std::fopen(windowsDone.c_str(), "r");
    if (file != nullptr) {
      if (std::fscanf(file, "%d", &code) != 1) code = -1;
      std::fclose(file);
      DeleteFileA(windowsDone.c_str());
      break;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    WaitForSingleObject(change, static_cast<DWORD>(deadline - now));
    FindNextChangeNotification(change);
  }
  FindCloseChangeNotification(change);
  return code;
}

// A network namespace joined to this machine by a veth pair: 10.231.N.1 here,
// 10.231.N.2 on the far side, a host that is not this machine. Names and
// subnet are drawn at random, so that runs in other Wine prefixes (where
// process ids repeat) do not collide.
struct RemoteHost {
  std::string ns, hereLink, farLink, hereAddress, farAddress;
  bool ready = false;
  RemoteHost() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const unsigned tag = static_cast<unsigned>(counter.QuadPart % 100000);
    const std::string subnet = "10.231." + std::to_string(tag % 250) + ".";
    ns = "mvst" + std::to_string(tag);
    hereLink = "mvh" + std::to_string(tag);
    farLink = "mvf" + std::to_string(tag);
    hereAddress = subnet + "1";
    farAddress = subnet + "2";
    const int created = RunUnixShell(
        "ip netns add " + ns + " && ip link add " + hereLink + " type veth peer name " + farLink +
        " && ip link set " + farLink + " netns " + ns + " && ip addr add " + hereAddress +
        "/30 dev " + hereLink + " && ip link set " + hereLink + " up && ip -n " + ns +
        " addr add " + farAddress + "/30 dev " + farLink + " && ip -n " + ns + " link set " +
        farLink + " up");
    const std::vector<std::uint32_t> local = QueryLocalIpv4Addresses().value_or(std::vector<std::uint32_t>());
    ready = created == 0 && std::find(local.begin(), local.end(),
                                      ntohl(inet_addr(hereAddress.c_str()))) != local.end();
  }
  // Deleting the namespace deletes the pair; the second command covers a
  // pair whose far end never got there.
  ~RemoteHost() { RunUnixShell("ip netns del " + ns + "; ip link del " + hereLink); }
  // Sends the 4 bytes "ABCD" from the far side to this machine's end.
  bool SendAbcd(std::uint16_t port) {
    return RunUnixShell("ip netns exec " + ns + " bash -c 'printf ABCD > /dev/udp/" +
                        hereAddress + "/" + std::to_string(port) + "'") == 0;
  }
};

// Whether a raw socket has seen a UDP datagram from `from` to `port`.
bool RawSawDatagram(SOCKET raw, const std::string& from, std::uint16_t port) {
  return PumpUntil([&] {
    for (;;) {
      u_long queued = 0;
      if (ioctlsocket(raw, FIONREAD, &queued) != 0 || queued == 0) return false;
      unsigned char packet[2048];
      const int n = recv(raw, reinterpret_cast<char*>(packet), sizeof packet, 0);
      const int header = (packet[0] & 0x0F) * 4;
      if (n < header + 8) continue;
      in_addr source{};
      std::memcpy(&source.s_addr, packet + 12, 4);
      if (inet_ntoa(source) == from && (packet[header + 2] << 8 | packet[header + 3]) == port) {
        return true;
      }
    }
  });
}
}  // namespace

TEST(HeartbeatSocket, HeartbeatFromAnotherHostIsDropped) {
  // The far end of a veth pair in a network namespace is another host as far
  // as this machine's addresses go. Needs root (CAP_NET_ADMIN, CAP_NET_RAW).
  if (!UnderWine()) GTEST_SKIP() << "the other host is a Linux network namespace: Wine only";
  SOCKET raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  if (raw == INVALID_SOCKET) GTEST_SKIP() << "no raw socket here (needs CAP_NET_RAW)";
  RemoteHost remote;
  if (!remote.ready) {
    closesocket(raw);
    GTEST_SKIP() << "cannot create a network namespace and veth pair here (needs CAP_NET_ADMIN)";
  }
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  ASSERT_TRUE(remote.SendAbcd(l.socket.LocalPort()));
  // It did reach this machine, addressed to the listener's port...
  ASSERT_TRUE(RawSawDatagram(raw, remote.farAddress, l.socket.LocalPort()));
  closesocket(raw);
  Sender sender;
  ASSERT_TRUE(l.Settle(sender));
  // ...and was not taken as a heartbeat of process 0x44434241.
  EXPECT_EQ(l.table.ProcessIds(), (Ids{kMarker}));
}
