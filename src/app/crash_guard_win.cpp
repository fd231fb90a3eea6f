#include "app/crash_guard.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/dump_library.h"
#include "platform/files.h"
#include "platform/wide.h"
#include "runner/dump_files.h"
#include "runner/dump_queue.h"
#include "text/texts.h"

namespace {

// The code of a C++ exception no catch took (bit 29: an application's own
// code), the exit code of a launcher it ended.
constexpr DWORD kUncaughtException = 0xE0000001;

// How long the crashed thread waits for the dump, as a hung program's dump
// may take; then the line says 258 (WAIT_TIMEOUT) and the process ends.
constexpr DWORD kDumpLimitMs = 30000;
// How long it then waits for the journal's line (a journal on a share that
// has stopped answering): the process ends when it is written or this runs
// out, whichever comes first.
constexpr DWORD kLineLimitMs = 3000;

// The dump's name ends in "YYYYMMDD-HHMMSS.dmp" (DumpFileName), ASCII in
// either encoding, so the stamp sits as far from the end in both.
constexpr std::size_t kStampFromEnd = 15 + 4;

// Everything the filter reads, made by SetCrashReportPaths and never freed:
// a crash during the process's end still finds it. The strings are written
// into only in place (the stamp), never grown.
struct Guard {
  std::wstring dumpPath;  // empty: no /d
  std::string dumpPathGbk;
  std::wstring journalPath;  // empty: no /l
  std::string lineFields;  // the line between its time and its detail
  std::vector<char> line;  // room for the whole line
  HANDLE wake = nullptr;  // the dump is wanted
  HANDLE dumped = nullptr;  // ...and done, `dumpResult` set
  DWORD reporter = 0;  // the dump thread's id; 0 when it could not start
  HANDLE lineWanted = nullptr;  // the journal's line is wanted, `lineResult` set
  HANDLE lineDone = nullptr;    // ...and written, or given up
  DWORD liner = 0;  // the line's thread's id; 0 when it could not start
  DWORD lineResult = 0;
  bool faultInLine = false;  // a test's: the line's writing faults (MORVASTEL_TEST_FAULT_IN_CRASH_LINE)
  WriteDumpFunction writeDump = nullptr;
  std::uint32_t loadError = 0;

  // The crash, set by the first thread to reach the filter before `wake`.
  EXCEPTION_POINTERS* exception = nullptr;
  DWORD crashedThread = 0;
  DWORD dumpResult = 0;  // 0: written; else the error, or the code of a fault while writing
};

std::atomic<Guard*> guard{nullptr};
std::atomic<bool> crashed{false};
std::atomic<DWORD> firstCode{0};  // the first crash's code: the process's exit code
std::atomic<bool> lineWritten{false};

// Appends to a fixed buffer, dropping what does not fit. No C library.
class Out {
 public:
  Out(char* at, char* end) : at_(at), end_(end) {}
  char* at() const { return at_; }
  void Put(char c) {
    if (at_ < end_) *at_++ = c;
  }
  void Add(const char* text) {
    while (*text) Put(*text++);
  }
  void Add(const std::string& text) {
    for (char c : text) Put(c);
  }
  void Decimal(std::uint64_t value, int width) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && n < 20);
    while (n < width--) Put('0');
    while (n > 0) Put(digits[--n]);
  }
  void Hex(std::uint64_t value, int digits) {
    Add("0x");
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) Put("0123456789ABCDEF"[(value >> shift) & 0xF]);
  }
  // An error as the journal writes exit codes: a crash's code in hex,
  // anything else in decimal.
  void Code(std::uint32_t code) {
    if (code >= 0xC0000000u) {
      Hex(code, 8);
    } else {
      Decimal(code, 1);
    }
  }
  // `pattern` with its n-th "%s" replaced by what fill(n) adds.
  template <typename Fill>
  void Pattern(const char* pattern, Fill fill) {
    int n = 0;
    for (const char* p = pattern; *p; ++p) {
      if (p[0] == '%' && p[1] == 's') {
        fill(n++);
        ++p;
      } else {
        Put(*p);
      }
    }
  }

 private:
  char* at_;
  char* end_;
};

// The crash's local time into the dump's name, in both encodings.
void StampDumpName(Guard& g, const SYSTEMTIME& t) {
  char stamp[15];
  Out out(stamp, stamp + sizeof stamp);
  out.Decimal(t.wYear, 4);
  out.Decimal(t.wMonth, 2);
  out.Decimal(t.wDay, 2);
  out.Put('-');
  out.Decimal(t.wHour, 2);
  out.Decimal(t.wMinute, 2);
  out.Decimal(t.wSecond, 2);
  const std::size_t at = g.dumpPath.size() - kStampFromEnd, atGbk = g.dumpPathGbk.size() - kStampFromEnd;
  for (std::size_t i = 0; i < sizeof stamp; ++i) {
    g.dumpPath[at + i] = static_cast<wchar_t>(stamp[i]);
    g.dumpPathGbk[atGbk + i] = stamp[i];
  }
}

// The launcher's dump, with the crashed thread's exception, so the dump
// opens at the fault. Shared for deleting, so a dump cut off by the time
// limit can be removed while the writer still holds it.
DWORD WriteOwnDump(const Guard& g) {
  const HANDLE file = ::CreateFileW(g.dumpPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
  DWORD result = g.loadError != 0 ? g.loadError : ERROR_MOD_NOT_FOUND;  // the library not (yet) had
  if (g.writeDump) {
    MINIDUMP_EXCEPTION_INFORMATION info{g.crashedThread, g.exception, FALSE};
    result = g.writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, kDumpType, &info, nullptr, nullptr)
                 ? 0
                 : DumpFailureError(::GetLastError());
  }
  ::CloseHandle(file);
  if (result != 0) ::DeleteFileW(g.dumpPath.c_str());
  return result;
}

// The journal's line about the crash, once, whichever thread comes first:
// appended straight to the file, past the journal's writer thread and its
// lock. FILE_APPEND_DATA puts it at the end whoever else writes.
void WriteCrashLine(Guard& g, DWORD dumpResult) {
  if (g.journalPath.empty() || lineWritten.exchange(true)) return;
  const EXCEPTION_RECORD& record = *g.exception->ExceptionRecord;
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  Out out(g.line.data(), g.line.data() + g.line.size() - 2);
  out.Decimal(t.wYear, 4);
  out.Put('-');
  out.Decimal(t.wMonth, 2);
  out.Put('-');
  out.Decimal(t.wDay, 2);
  out.Put(' ');
  out.Decimal(t.wHour, 2);
  out.Put(':');
  out.Decimal(t.wMinute, 2);
  out.Put(':');
  out.Decimal(t.wSecond, 2);
  out.Put('.');
  out.Decimal(t.wMilliseconds, 3);
  out.Add(g.lineFields);
  out.Pattern(texts::kDetailLauncherCrashed, [&](int n) {
    if (n == 0) {
      out.Hex(record.ExceptionCode, 8);
    } else if (n == 1) {
      out.Hex(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress), sizeof(void*) * 2);
    } else if (g.dumpPath.empty()) {
      out.Add(texts::kDetailCrashNoFolder);
    } else if (dumpResult == 0) {
      out.Pattern(texts::kDetailCrashDump, [&](int) { out.Add(g.dumpPathGbk); });
    } else {
      out.Pattern(texts::kDetailCrashDumpFailed, [&](int) { out.Code(dumpResult); });
    }
  });
  char* end = out.at();
  *end++ = '\r';
  *end++ = '\n';
  const HANDLE file = ::CreateFileW(g.journalPath.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteAll(file, std::string_view(g.line.data(), static_cast<std::size_t>(end - g.line.data())));
  ::CloseHandle(file);
}

// The dump thread: loads the dump library at once, then waits for a crash.
// The filter runs on the thread that faulted, whatever is left of its stack
// (https://learn.microsoft.com/windows/win32/api/errhandlingapi/nf-errhandlingapi-setunhandledexceptionfilter),
// and MiniDumpWriteDump, called in the process it dumps, gives a true stack
// for the faulting thread only through the exception it is handed, best from
// another thread
// (https://learn.microsoft.com/windows/win32/api/minidumpapiset/nf-minidumpapiset-minidumpwritedump).
// The library is single-threaded: a hung program's dump under way on the
// DumpWriter's thread may make this one fail or fault, which OnCrash takes as
// a failed dump.
DWORD WINAPI Reporter(void* parameter) {
  Guard& g = *static_cast<Guard*>(parameter);
  if (!g.dumpPath.empty()) g.writeDump = LoadWriteDump(&g.loadError);
  ::WaitForSingleObject(g.wake, INFINITE);
  g.dumpResult = g.dumpPath.empty() ? 0 : WriteOwnDump(g);
  ::SetEvent(g.dumped);
  return 0;
}

// What follows the dump, whether it came, failed or ran out of time: the
// partial dump removed and the journal's line. Both use the heap (a path
// becomes the system's own form there) and the disk, so the crashed thread
// leaves them to a thread of their own, made at the start, and waits for it
// only so long; a fault in them ends the process at once (OnCrash).
void FinishCrash(Guard& g, DWORD result) {
  if (result != 0 && !g.dumpPath.empty()) ::DeleteFileW(g.dumpPath.c_str());
  if (g.faultInLine) *static_cast<volatile int*>(nullptr) = 0;
  WriteCrashLine(g, result);
}

DWORD WINAPI Liner(void* parameter) {
  Guard& g = *static_cast<Guard*>(parameter);
  ::WaitForSingleObject(g.lineWanted, INFINITE);
  FinishCrash(g, g.lineResult);
  ::SetEvent(g.lineDone);
  return 0;
}

// A thread made now, while nothing is broken, to wait for its moment; its
// id, or 0 when none could be had.
DWORD StartWaitingThread(LPTHREAD_START_ROUTINE run, Guard* g) {
  DWORD id = 0;
  const HANDLE thread = ::CreateThread(nullptr, 0, run, g, CREATE_SUSPENDED, &id);
  if (!thread) return 0;
  ::ResumeThread(thread);
  ::CloseHandle(thread);
  return id;
}

// The top-level filter: see crash_guard.h. The process's exit code is the
// exception's code, as Windows gives a process that dies of it, so what
// watches the launcher sees the same end with or without the guard.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  Guard* const g = guard.load();
  if (crashed.exchange(true)) {
    // A second fault. On the dump thread the dump itself failed: the first
    // thread is told so and goes on to the line and the end. In the rest of
    // the crash path (the crashed thread itself, the line's thread) the
    // process ends at once. Another thread that faults meanwhile gives the
    // crash path its time, then ends the process itself.
    const DWORD self = ::GetCurrentThreadId();
    if (g && self == g->reporter) {
      g->dumpResult = code;
      ::SetEvent(g->dumped);
      ::Sleep(INFINITE);
    }
    if (g && self != g->crashedThread && self != g->liner) ::Sleep(kDumpLimitMs + kLineLimitMs + 1000);
    const DWORD first = firstCode.load();
    ::TerminateProcess(::GetCurrentProcess(), first != 0 ? first : code);
    return EXCEPTION_EXECUTE_HANDLER;
  }
  firstCode.store(code);
  if (g) {
    g->exception = exception;
    g->crashedThread = ::GetCurrentThreadId();
    if (!g->dumpPath.empty()) {
      SYSTEMTIME t;
      ::GetLocalTime(&t);
      StampDumpName(*g, t);
    }
    DWORD result = WAIT_TIMEOUT;
    if (g->reporter != 0 && g->crashedThread != g->reporter) {
      ::SetEvent(g->wake);
      if (::WaitForSingleObject(g->dumped, kDumpLimitMs) == WAIT_OBJECT_0) result = g->dumpResult;
    } else if (!g->dumpPath.empty()) {
      result = WriteOwnDump(*g);
    }
    if (g->liner != 0 && g->crashedThread != g->liner) {
      g->lineResult = result;
      ::SetEvent(g->lineWanted);
      ::WaitForSingleObject(g->lineDone, kLineLimitMs);
    } else {
      FinishCrash(*g, result);
    }
  }
  // Ends every thread and closes every handle, the marks among them, now.
  // https://learn.microsoft.com/windows/win32/api/processthreadsapi/nf-processthreadsapi-terminateprocess
  ::TerminateProcess(::GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

std::string DecimalText(std::uint64_t value) {
  char digits[24];
  Out out(digits, digits + sizeof digits);
  out.Decimal(value, 1);
  return std::string(digits, out.at());
}

}  // namespace

void InstallCrashGuard() {
  // SEM_NOGPFAULTERRORBOX: Windows Error Reporting is not invoked for a
  // fault the filter does not end first; SEM_FAILCRITICALERRORS: no
  // critical-error box waits for a click. Bits already set are kept.
  // https://learn.microsoft.com/windows/win32/api/errhandlingapi/nf-errhandlingapi-seterrormode
  ::SetErrorMode(::GetErrorMode() | SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS);
  // A fail-fast end (a /GS check's 0xC0000409, the heap's own termination,
  // RaiseFailFastException) bypasses every handler and this filter: Windows
  // hands it straight to Windows Error Reporting, which ends the process
  // once it has its report (learn.microsoft.com/windows/win32/api/
  // errhandlingapi/nf-errhandlingapi-raisefailfastexception). Its report
  // is queued rather than shown (WerSetFlags' WER_FAULT_REPORTING_FLAG_QUEUE,
  // and werapi.h's WER_FAULT_REPORTING_NO_UI), so nothing waits there for a
  // click. Looked up by name: a system without it has no reporting to quiet.
  using WerSetFlagsFunction = HRESULT(WINAPI*)(DWORD);
  if (const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
    if (const auto setFlags =
            reinterpret_cast<WerSetFlagsFunction>(reinterpret_cast<void*>(::GetProcAddress(kernel, "WerSetFlags")))) {
      constexpr DWORD kQueue = 0x2, kNoUi = 0x20;  // werapi.h
      setFlags(kQueue | kNoUi);
    }
  }
  // Replaces the C runtime's filter for every thread, present and future.
  // The filter is not called while a debugger is attached: it gets the
  // exception instead.
  // https://learn.microsoft.com/windows/win32/api/errhandlingapi/nf-errhandlingapi-setunhandledexceptionfilter
  ::SetUnhandledExceptionFilter(&OnCrash);
  // A C++ exception no catch takes ends in std::terminate, whose abort()
  // ends the launcher the C runtime's way (a message box waiting for a
  // click, or the error reporter). Raised as a structured exception instead,
  // it reaches the filter like a fault, with the throw's stack in the dump.
  std::set_terminate([] {
    ::RaiseException(kUncaughtException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    ::TerminateProcess(::GetCurrentProcess(), kUncaughtException);  // under a debugger, which took the exception
  });
}

void SetCrashReportPaths(const std::u16string& dumpFolder, const std::u16string& journalPath) {
  if (guard.load() || (dumpFolder.empty() && journalPath.empty())) return;
  auto* g = new Guard;  // never freed: see Guard
  std::wstring self(MAX_PATH, L'\0');
  DWORD length;
  while ((length = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()))) == self.size()) {
    self.resize(self.size() * 2);
  }
  self.resize(length);
  const std::string selfGbk = Narrow(self);
  const DWORD pid = ::GetCurrentProcessId();
  if (!dumpFolder.empty()) {
    std::wstring folder = WidePath(dumpFolder);
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    const std::string name = DumpFileName(selfGbk, pid, LocalTime{});
    g->dumpPath = folder + Wide(name);
    g->dumpPathGbk = Narrow(folder) + name;
  }
  if (!journalPath.empty()) {
    g->journalPath = WidePath(journalPath);
    // Event word, plan, row, program (the launcher), process id: as the
    // journal's other lines, with no TAB, CR or LF inside a field.
    std::string program = selfGbk;
    for (char& c : program) {
      if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    }
    g->lineFields = std::string("\t") + texts::kEvLauncherCrashed + "\t\t\t" + program + "\t" + DecimalText(pid) + "\t";
    g->line.resize(64 + g->lineFields.size() + sizeof texts::kDetailLauncherCrashed + 64 + g->dumpPathGbk.size() +
                   sizeof texts::kDetailCrashDumpFailed + sizeof texts::kDetailCrashNoFolder);
  }
  wchar_t seam[2];
  g->faultInLine = ::GetEnvironmentVariableW(L"MORVASTEL_TEST_FAULT_IN_CRASH_LINE", seam, 2) != 0;
  g->wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g->dumped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g->wake && g->dumped) g->reporter = StartWaitingThread(&Reporter, g);
  g->lineWanted = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g->lineDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g->lineWanted && g->lineDone) g->liner = StartWaitingThread(&Liner, g);
  // Without the thread the crashed thread writes the dump itself.
  if (g->reporter == 0 && !g->dumpPath.empty()) g->writeDump = LoadWriteDump(&g->loadError);
  guard.store(g);
}
