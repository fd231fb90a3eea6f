#pragma once
// Helpers of the socket tests that run under Wine: a message pump that runs
// until a condition holds, a plain blocking datagram sender, and the path of
// a helper program that sits next to the test program.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace test_support {

// Winsock is started once for the whole test program.
class SocketLayerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { WSACleanup(); }
};

// Dispatches this thread's messages until `done()` holds. `limitMs` only
// bounds a failing test: the pump sleeps only while no message is queued.
template <class Condition>
bool PumpUntil(Condition done, DWORD limitMs = 5000) {
  const ULONGLONG deadline = GetTickCount64() + limitMs;
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (done()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
}

inline sockaddr_in Ipv4(const char* address, std::uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr = inet_addr(address);
  return result;
}

// A plain UDP socket. Datagrams from one sender to one destination arrive in
// the order they were sent, so a datagram sent last marks when the earlier
// ones have been handled.
class Sender {
 public:
  Sender() : socket_(socket(AF_INET, SOCK_DGRAM, 0)) { EXPECT_NE(socket_, INVALID_SOCKET); }
  ~Sender() { closesocket(socket_); }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void Send(const void* data, int length, const char* address, std::uint16_t port) {
    const sockaddr_in to = Ipv4(address, port);
    EXPECT_EQ(sendto(socket_, static_cast<const char*>(data), length, 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to),
              length)
        << "error " << WSAGetLastError();
  }
  // The 4 little-endian bytes of a heartbeat from `processId`.
  void Heartbeat(std::uint32_t processId, const char* address, std::uint16_t port) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(processId), static_cast<unsigned char>(processId >> 8),
        static_cast<unsigned char>(processId >> 16), static_cast<unsigned char>(processId >> 24)};
    Send(bytes, 4, address, port);
  }

 private:
  SOCKET socket_;
};

// A program built next to this test program.
inline std::string HelperPath(const char* fileName) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string result(path);
  result.resize(result.find_last_of("\\/") + 1);
  return result + fileName;
}

// Starts `commandLine`; the caller closes the returned handles.
inline PROCESS_INFORMATION StartProcess(const std::string& commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = commandLine;
  EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process))
      << commandLine << ": error " << GetLastError();
  return process;
}

// Waits for a helper process to end by itself and returns its exit code.
inline DWORD FinishProcess(PROCESS_INFORMATION& process, DWORD limitMs = 10000) {
  DWORD code = STILL_ACTIVE;
  if (process.hProcess == nullptr) return code;
  if (WaitForSingleObject(process.hProcess, limitMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  } else {
    TerminateProcess(process.hProcess, 99);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  process = PROCESS_INFORMATION{};
  return code;
}

}  // namespace test_support
