#pragma once
// Reading what another process of this session was started with: its
// executable, its command line and its current directory.
//
// The executable comes from QueryFullProcessImageNameW. The command line
// comes from NtQueryInformationProcess(ProcessCommandLineInformation), which
// needs only the right to query limited information (Windows 8.1 and later),
// and otherwise from the process parameters in its memory, as for the
// current directory, for which Windows has no call: the process environment
// block gives their address, ReadProcessMemory the texts. That works from
// Windows 7 on for a process of the launcher's own bitness and, from a
// 64-bit launcher, for a 32-bit process (through its 32-bit block). A 32-bit
// launcher cannot read a 64-bit process's memory: its directory stays
// unknown, and before Windows 8.1 its command line too. So do the memory
// reads of an elevated copy, which a launcher that is not elevated may not
// open for reading.
#include <windows.h>

#include <string>

struct PeekedProcess {
  std::wstring image;        // full path of the executable; empty: unreadable
  std::wstring commandLine;
  bool commandLineKnown = false;
  std::wstring directory;    // as the process keeps it, with its trailing backslash
  bool directoryKnown = false;
};

// `process` needs PROCESS_QUERY_LIMITED_INFORMATION, and for the memory
// reads PROCESS_QUERY_INFORMATION and PROCESS_VM_READ as well.
PeekedProcess PeekProcess(HANDLE process);
