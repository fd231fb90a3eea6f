#pragma once
// What the demo tests share: the programs built next to the test program,
// child processes that are always cleaned up, a scratch directory, and a UDP
// socket on a port of the system's choosing.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace demo_test {

// A program built next to this test program.
inline std::string ProgramPath(const char* fileName) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string result(path);
  result.resize(result.find_last_of("\\/") + 1);
  return result + fileName;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh directory under the temporary folder, removed with its files.
class ScratchDir {
 public:
  ScratchDir() {
    char base[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, base);
    // Process ids repeat across Wine sessions, so a name may be taken by a
    // directory that an earlier run could not remove: try the next one.
    static int serial = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = std::string(base) + "morvastel-demo-test-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++serial);
      if (CreateDirectoryA(path_.c_str(), nullptr)) return;
    }
    ADD_FAILURE() << "cannot make a scratch directory like " << path_;
  }
  ~ScratchDir() {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA(File(found.cFileName).c_str());
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
    RemoveDirectoryA(path_.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// A child process, terminated on destruction if it still runs. With
// `captureOutput`, its standard output is collected by Output().
class Child {
 public:
  Child(const std::string& commandLine, const std::string& directory, bool captureOutput = false) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    HANDLE writeEnd = nullptr;
    if (captureOutput) {
      SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
      EXPECT_TRUE(CreatePipe(&read_, &writeEnd, &inherit, 0));
      SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdOutput = writeEnd;
      startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
      startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    std::string line = commandLine;
    EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, captureOutput ? TRUE : FALSE,
                               CREATE_NO_WINDOW, nullptr, directory.empty() ? nullptr : directory.c_str(),
                               &startup, &info_))
        << commandLine << ": error " << GetLastError();
    if (writeEnd != nullptr) CloseHandle(writeEnd);
  }
  ~Child() {
    if (info_.hProcess != nullptr) {
      if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(info_.hProcess, 99);
        // Gone before its directory is removed.
        WaitForSingleObject(info_.hProcess, 5000);
      }
      CloseHandle(info_.hProcess);
      CloseHandle(info_.hThread);
    }
    if (read_ != nullptr) CloseHandle(read_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  DWORD pid() const { return info_.dwProcessId; }
  HANDLE handle() const { return info_.hProcess; }
  bool Running() const { return info_.hProcess != nullptr && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
  // Waits for the end; `limitMs` only bounds a failing test. STILL_ACTIVE
  // when it did not end.
  DWORD Finish(DWORD limitMs = 10000) {
    DWORD code = STILL_ACTIVE;
    if (info_.hProcess != nullptr && WaitForSingleObject(info_.hProcess, limitMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(info_.hProcess, &code);
    }
    return code;
  }
  // Everything the child wrote to its standard output, up to its end.
  std::string Output() {
    std::string text;
    char buffer[512];
    DWORD got = 0;
    while (read_ != nullptr && ::ReadFile(read_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      text.append(buffer, got);
    }
    return text;
  }

 private:
  PROCESS_INFORMATION info_{};
  HANDLE read_ = nullptr;
};

// A UDP socket bound to 127.0.0.1 on a port the system picks.
class UdpPort {
 public:
  UdpPort() : socket_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr("127.0.0.1");
    EXPECT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    int length = sizeof local;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
  }
  ~UdpPort() { closesocket(socket_); }
  UdpPort(const UdpPort&) = delete;
  UdpPort& operator=(const UdpPort&) = delete;

  std::uint16_t port() const { return port_; }
  // One datagram, or an empty string when none arrives within `limitMs`.
  std::string Receive(long limitMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait{limitMs / 1000, (limitMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) != 1) return std::string();
    char buffer[64];
    const int n = recv(socket_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  SOCKET socket_;
  std::uint16_t port_ = 0;
};

// A UDP port that nobody holds right now.
inline std::uint16_t FreePort() {
  UdpPort probe;
  return probe.port();
}

// The process id a heartbeat carries.
inline std::uint32_t HeartbeatId(const std::string& datagram) {
  if (datagram.size() != 4) return 0;
  const auto* b = reinterpret_cast<const unsigned char*>(datagram.data());
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

}  // namespace demo_test
