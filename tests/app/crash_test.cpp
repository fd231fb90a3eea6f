// The launcher's own crash, on the real program under Wine: a thread started
// into it from outside faults, and the launcher must end at once with the
// fault's code, leaving its minidump in the /d folder and one line at the
// end of its journal. Windows runs a new thread's fault through the
// unhandled-exception filter like any other thread's ("The system uses
// UnhandledExceptionFilter internally to handle exceptions that occur during
// process and thread creation"), so this is the path a real crash takes.
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/wide.h"
#include "text/texts.h"

namespace {

std::wstring Absolute(const std::string& name) {
  wchar_t full[MAX_PATH * 4] = {};
  ::GetFullPathNameW(Wide(name).c_str(), MAX_PATH * 4, full, nullptr);
  return full;
}

std::string FileBytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The exception a minidump holds: the faulting thread and the code.
bool DumpException(const std::string& dump, DWORD* thread, DWORD* code) {
  MINIDUMP_HEADER header;
  if (dump.size() < sizeof header || dump.compare(0, 4, "MDMP") != 0) return false;
  std::memcpy(&header, dump.data(), sizeof header);
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    MINIDUMP_DIRECTORY entry;
    MINIDUMP_EXCEPTION_STREAM stream;
    const std::size_t at = header.StreamDirectoryRva + i * sizeof entry;
    if (at + sizeof entry > dump.size()) return false;
    std::memcpy(&entry, dump.data() + at, sizeof entry);
    if (entry.StreamType != ExceptionStream || entry.Location.Rva + sizeof stream > dump.size()) continue;
    std::memcpy(&stream, dump.data() + entry.Location.Rva, sizeof stream);
    *thread = stream.ThreadId;
    *code = stream.ExceptionRecord.ExceptionCode;
    return true;
  }
  return false;
}

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(folder_.c_str(), nullptr);
    for (const std::wstring& name : Dumps(L"*.dmp")) ::DeleteFileW((folder_ + L"\\" + name).c_str());
    ::DeleteFileW(journal_.c_str());
  }
  void TearDown() override {
    ::TerminateProcess(pi_.hProcess, 1);
    ::CloseHandle(pi_.hProcess);
    ::CloseHandle(pi_.hThread);
  }

  std::vector<std::wstring> Dumps(const std::wstring& pattern) const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder_ + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName); while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
  }

  // Starts the launcher with a one-plan list and `args`, waits for its
  // journal to start, then crashes it without a way in made for the test: a
  // thread started at address 0 faults on its first instruction. Expects
  // the launcher gone within `ms` with the access violation's code; returns
  // the fields of the journal's last line.
  std::vector<std::string> Crash(const std::wstring& args, DWORD ms) {
    std::ofstream("crash.list", std::ios::binary) << "::plan\r\n1 C:\\none\\none.exe C:\\none [] 0\r\n";
    std::string exe = MORVASTEL_EXE;
    if (exe[0] == '/') exe = "Z:" + exe;
    std::wstring line = L"\"" + Wide(exe) + L"\" /n e2e-crash /f \"" + Absolute("crash.list") + L"\" /p 0 " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    EXPECT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_));
    for (int i = 0; i < 750 && FileBytes(journal_).find(texts::kEvListRead) == std::string::npos; ++i) ::Sleep(20);
    ::Sleep(300);  // the journal writes out its start
    const HANDLE h = ::CreateRemoteThread(pi_.hProcess, nullptr, 0, nullptr, nullptr, 0, &thread_);
    EXPECT_NE(h, nullptr);
    ::CloseHandle(h);
    EXPECT_EQ(::WaitForSingleObject(pi_.hProcess, ms), WAIT_OBJECT_0);
    DWORD code = 0;
    ::GetExitCodeProcess(pi_.hProcess, &code);
    EXPECT_EQ(code, EXCEPTION_ACCESS_VIOLATION);
    const std::string bytes = FileBytes(journal_);
    if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) return {};
    std::vector<std::string> fields(1);
    for (char c : bytes.substr(bytes.rfind('\n', bytes.size() - 2) + 1, std::string::npos)) {
      if (c == '\t') fields.emplace_back(); else if (c != '\r' && c != '\n') fields.back() += c;
    }
    return fields;
  }

  const std::wstring folder_ = Absolute("crash-dumps"), journal_ = Absolute("crash.log");
  PROCESS_INFORMATION pi_{};
  DWORD thread_ = 0;
};

TEST_F(CrashTest, LeavesItsDumpAndOneLineAndEndsWithTheCode) {
  // Wine's dump library takes seconds over the launcher; the guard gives it 30.
  const std::vector<std::string> line = Crash(L"/d \"" + folder_ + L"\" /l \"" + journal_ + L"\"", 40000);
  const auto dumps = Dumps(L"Morvastel.exe_" + std::to_wstring(pi_.dwProcessId) + L"_*.dmp");
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(Dumps(L"*.dmp").size(), 1u);
  DWORD thread = 0, code = 0;
  ASSERT_TRUE(DumpException(FileBytes(folder_ + L"\\" + dumps[0]), &thread, &code));
  EXPECT_EQ(thread, thread_);
  EXPECT_EQ(code, EXCEPTION_ACCESS_VIOLATION);

  ASSERT_EQ(line.size(), 7u);
  EXPECT_EQ(line[1], texts::kEvLauncherCrashed);
  EXPECT_EQ(line[5], std::to_string(pi_.dwProcessId));
  EXPECT_NE(line[6].find("0xC0000005"), std::string::npos) << line[6];
  EXPECT_NE(line[6].find(Narrow(dumps[0])), std::string::npos) << line[6];
}

TEST_F(CrashTest, WithoutAFolderEndsAtOnceAndSaysNoDump) {
  const std::vector<std::string> line = Crash(L"/l \"" + journal_ + L"\"", 3000);
  ASSERT_EQ(line.size(), 7u);
  EXPECT_EQ(line[1], texts::kEvLauncherCrashed);
  EXPECT_NE(line[6].find(texts::kDetailCrashNoFolder), std::string::npos) << line[6];
  EXPECT_TRUE(Dumps(L"*.dmp").empty());
}

// A fault while the line is written (a heap the crash broke) ends the
// launcher at once with the first fault's code, never leaves it waiting.
TEST_F(CrashTest, ASecondFaultInTheCrashPathEndsItAtOnce) {
  ::SetEnvironmentVariableW(L"MORVASTEL_TEST_FAULT_IN_CRASH_LINE", L"1");
  const std::vector<std::string> line = Crash(L"/l \"" + journal_ + L"\"", 3000);
  ::SetEnvironmentVariableW(L"MORVASTEL_TEST_FAULT_IN_CRASH_LINE", nullptr);
  EXPECT_TRUE(line.empty() || line[1] != texts::kEvLauncherCrashed);
}

}  // namespace
