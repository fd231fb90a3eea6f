// Throughput of the heartbeat listener under Wine, and the cost of one
// heartbeat in the liveness table as the table grows.
//
//   heartbeat_bench [datagrams [rounds]]      (defaults 50000, 2)
//
// 1. Receivers against one sender process (this program started again with
//    "send"), which fires `datagrams` heartbeats (default 50000) from K
//    distinct ids at 127.0.0.1 as fast as it can:
//      event: the HeartbeatSocket, its read events pumped by a message loop;
//      plain: a blocking recvfrom loop on a plain socket doing the same
//             checks and the same table update.
//    Each reports heartbeats handled per second (first to last handled), and
//    how many of those sent were lost (dropped by a full receive buffer).
//    K = 10 and K = 10000.
// 2. The table alone: nanoseconds per heartbeat for K = 10 .. 100000 ids,
//    with the id index and, for comparison, with a search from index 0.
#include <winsock2.h>
#include <windows.h>

#include "bench_clock.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/heartbeat_socket.h"
#include "net/liveness_table.h"
#include "net/local_sender.h"
#include "platform/async_socket.h"

namespace {

constexpr std::uint32_t kFirstId = 1000;

// --- sender process ---------------------------------------------------------

int Send(std::uint16_t port, long datagrams, long ids) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = inet_addr("127.0.0.1");
  const double start = NowMs();
  long failed = 0;
  for (long i = 0; i < datagrams; ++i) {
    const std::uint32_t id = kFirstId + static_cast<std::uint32_t>(i % ids);
    const unsigned char bytes[4] = {static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8),
                                    static_cast<unsigned char>(id >> 16),
                                    static_cast<unsigned char>(id >> 24)};
    if (sendto(s, reinterpret_cast<const char*>(bytes), 4, 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) != 4) {
      ++failed;
    }
  }
  const double elapsed = NowMs() - start;
  std::printf("    sender: %ld datagrams in %.0f ms (%.0f/s), %ld sends failed\n", datagrams, elapsed,
              datagrams / elapsed * 1000.0, failed);
  std::fflush(stdout);
  closesocket(s);
  return 0;
}

HANDLE StartSender(std::uint16_t port, long datagrams, long ids) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line = "\"" + std::string(self) + "\" send " + std::to_string(port) + " " +
                     std::to_string(datagrams) + " " + std::to_string(ids);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "cannot start the sender: error %lu\n", GetLastError());
    std::exit(1);
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// --- receivers --------------------------------------------------------------

// The table's clock, which is read once per heartbeat taken into the table:
// counts them and notes when the first and the last one came.
struct CountingClock {
  long calls = 0;
  double first = 0, last = 0;
  std::uint32_t operator()() {
    last = NowMs();
    if (calls++ == 0) first = last;
    return 0;
  }
};

struct Result {
  long handled;
  double ms;
};

void Report(const char* path, long ids, long sent, const Result& r) {
  const double rate = r.ms > 0 ? (r.handled - 1) / r.ms * 1000.0 : 0;
  std::printf("  %-5s K=%-6ld handled %7ld of %ld (lost %5.1f%%) in %6.0f ms: %9.0f heartbeats/s\n",
              path, ids, r.handled, sent, 100.0 * (sent - r.handled) / sent, r.ms, rate);
  std::fflush(stdout);
}

Result EventPath(long datagrams, long ids) {
  CountingClock counter;
  LivenessTable table([&counter] { return counter(); });
  HeartbeatSocket listener(table);
  if (!listener.Open("127.0.0.1", 0)) {
    std::fprintf(stderr, "cannot open the listener: error %d\n", WSAGetLastError());
    std::exit(1);
  }
  HANDLE sender = StartSender(listener.LocalPort(), datagrams, ids);
  bool senderDone = false;
  for (;;) {
    const DWORD wait = MsgWaitForMultipleObjectsEx(senderDone ? 0 : 1, &sender,
                                                   senderDone ? 1000 : INFINITE, QS_ALLINPUT,
                                                   MWMO_INPUTAVAILABLE);
    MSG message;
    bool any = false;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageA(&message);
      any = true;
    }
    if (!senderDone && WaitForSingleObject(sender, 0) == WAIT_OBJECT_0) senderDone = true;
    if (senderDone) {
      // Everything sent is either queued on the socket or was dropped.
      u_long queued = 0;
      ioctlsocket(listener.Handle(), FIONREAD, &queued);
      if (queued == 0 && !PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) break;
      if (!any && wait == WAIT_TIMEOUT) {
        std::fprintf(stderr, "  (data left on the socket without a read event)\n");
        break;
      }
    }
  }
  CloseHandle(sender);
  return {counter.calls, counter.last - counter.first};
}

Result PlainPath(long datagrams, long ids) {
  CountingClock counter;
  LivenessTable table([&counter] { return counter(); });
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr("127.0.0.1");
  bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  int length = sizeof local;
  getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
  const DWORD timeoutMs = 500;  // ends the loop once the sender has gone quiet
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  const std::vector<std::uint32_t> localAddresses = QueryLocalIpv4Addresses().value_or(std::vector<std::uint32_t>());
  HANDLE sender = StartSender(ntohs(local.sin_port), datagrams, ids);
  for (;;) {
    unsigned char buffer[4];
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int n = recvfrom(s, reinterpret_cast<char*>(buffer), sizeof buffer, 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n == 4 && IsLocalSender(ntohl(from.sin_addr.s_addr), localAddresses)) {
      table.Heard(static_cast<std::uint32_t>(buffer[0]) | static_cast<std::uint32_t>(buffer[1]) << 8 |
                  static_cast<std::uint32_t>(buffer[2]) << 16 |
                  static_cast<std::uint32_t>(buffer[3]) << 24);
    } else if (n == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT &&
               WaitForSingleObject(sender, 0) == WAIT_OBJECT_0) {
      break;
    }
  }
  CloseHandle(sender);
  closesocket(s);
  return {counter.calls, counter.last - counter.first};
}

// --- the table alone --------------------------------------------------------

// The table as a search from index 0 upward, for comparison.
struct SearchedTable {
  std::vector<std::uint32_t> ids, times;
  void Heard(std::uint32_t id, std::uint32_t now) {
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == id) {
        times[i] = now;
        return;
      }
    }
    ids.push_back(id);
    times.push_back(now);
  }
};

// The i-th heartbeat's id: a stride through all K ids, so that every entry
// is hit and the searched variant pays its average distance.
std::uint32_t NthId(long i, long ids) {
  return kFirstId + static_cast<std::uint32_t>((static_cast<long long>(i) * 7919) % ids);
}

void TableAlone() {
  std::printf("\nthe table alone (ns per heartbeat, table filled first, ids spread over it):\n");
  std::printf("  %8s %12s %16s\n", "K", "id index", "search from 0");
  for (long ids : {10L, 1000L, 10000L, 100000L}) {
    std::uint32_t now = 0;
    LivenessTable table([&now] { return now; });
    for (long i = 0; i < ids; ++i) table.Heard(kFirstId + static_cast<std::uint32_t>(i));
    const long calls = 2000000;
    double start = NowMs();
    for (long i = 0; i < calls; ++i) {
      now = static_cast<std::uint32_t>(i);
      table.Heard(NthId(i, ids));
    }
    const double indexed = (NowMs() - start) * 1e6 / calls;

    SearchedTable searched;
    for (long i = 0; i < ids; ++i) searched.Heard(kFirstId + static_cast<std::uint32_t>(i), 0);
    // Fewer calls for the slow variant; it is linear in K.
    const long searchedCalls = std::max(20000L, 20000000L / ids);
    start = NowMs();
    for (long i = 0; i < searchedCalls; ++i) {
      searched.Heard(NthId(i, ids), static_cast<std::uint32_t>(i));
    }
    const double linear = (NowMs() - start) * 1e6 / searchedCalls;
    std::printf("  %8ld %12.1f %16.1f\n", ids, indexed, linear);
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!StartSocketLayer()) {
    std::fprintf(stderr, "no socket layer\n");
    return 1;
  }
  if (argc >= 5 && std::string(argv[1]) == "send") {
    return Send(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atol(argv[3]),
                std::atol(argv[4]));
  }
  const long datagrams = argc > 1 ? std::atol(argv[1]) : 50000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  std::printf("one sender process, %ld heartbeats as fast as it can, %d rounds:\n", datagrams, rounds);
  for (int round = 1; round <= rounds; ++round) {
    std::printf(" round %d\n", round);
    for (long ids : {10L, 10000L}) {
      Report("event", ids, datagrams, EventPath(datagrams, ids));
      Report("plain", ids, datagrams, PlainPath(datagrams, ids));
    }
  }
  TableAlone();
  return 0;
}
