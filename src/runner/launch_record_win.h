#pragma once
// What the launcher leaves with every program it runs, so that a launcher
// started later knows it for certain instead of guessing: a launch record,
// and the named objects (mark, record) that only the launcher's own user may
// open.
//
// The record is a small named section, Local\Morvastel-record-<pid>, written
// when the launcher creates the program (or takes it over) and duplicated
// into the program's own handle table, like its job: it lives exactly as
// long as the program, whatever becomes of the launcher. It holds the
// program's creation time, so a record is believed only of the process it
// was written for, and the row's identity as launched (file, folder and
// command line), so a program that has since moved to another folder is
// still known for the row's. A record is believed only when its owner is
// the launcher's own user, and its label at the launcher's integrity level
// (RecordLabelBelieved): another user of the session cannot forge one, nor
// can the same user's unelevated programs for an elevated launcher.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/scoped.h"
#include "runner/plan_runner.h"

struct LaunchRecord {
  std::uint64_t created = 0;  // the process's creation time, 100 ns units
  DWORD launcher = 0;         // the launcher that wrote it
  DWORD jobKey = 0;           // the process id its job is named after
  ProcessIdentity launched;   // the row as it was launched
  // false: created suspended and not let run yet. Its launcher ends it if
  // it cannot let it run; one found so with no launcher's mark on it was
  // left by a launcher that died in between, and never ran.
  bool letRun = true;
};

// Security attributes that give the launcher's user, and nobody else, the
// named objects it creates. Null (default security) if the user's SID
// cannot be had.
SECURITY_ATTRIBUTES* OwnUserOnly();

// Writes `record` for process `pid` and gives `process` (which needs
// PROCESS_DUP_HANDLE) a handle to it. The section returned is the
// launcher's own handle; empty with `*error` set when it cannot be made,
// ERROR_ALREADY_EXISTS when a record of that name exists already.
ScopedKernelHandle WriteRecord(HANDLE process, DWORD pid, const LaunchRecord& record, DWORD* error);
// Says in the record behind `section` (the launcher's own handle) that its
// program has been let run.
bool MarkRecordLetRun(HANDLE section);
// The record of process `pid` whose creation time is `created`, if one
// written by the launcher's user exists.
std::optional<LaunchRecord> ReadRecord(DWORD pid, std::uint64_t created);

// When `process` was created, in 100 ns units; 0 when it cannot be told.
std::uint64_t CreationTime(HANDLE process);

// A file or folder as the host compares them: "#" and its volume serial
// number and file id, the same for every path that reaches it (links,
// junctions, subst drives, short names, mapped drives and their UNC form);
// where it cannot be opened, its full long path, upper-cased as the file
// system compares names. GBK.
std::string FileIdentity(const std::wstring& path);
// The path form alone, for comparing a file that could not be opened.
std::string PathText(const std::wstring& path);

// Whether two file names are the same name to the file system (ordinal,
// case ignored as Windows' own uppercase table does).
bool SameFileName(const std::wstring& a, const std::wstring& b);
