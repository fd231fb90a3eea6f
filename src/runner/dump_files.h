#pragma once
// The names of the minidumps taken of hung programs, and which of them to
// remove so the folder never holds more than a few: only files this
// launcher named are ever counted or removed.
#include <cstdint>
#include <string>
#include <vector>

#include "report/journal.h"

inline constexpr std::size_t kDumpsKept = 10;

// "<program file name>_<pid>_<YYYYMMDD-HHMMSS>.dmp", GBK.
std::string DumpFileName(const std::string& programPath, std::uint32_t pid, const LocalTime& time);
// True for a file name DumpFileName could have made.
bool IsDumpFileName(const std::string& name);

// A file of the dump folder and when it was last written, in the file
// system's own time (UTC, which neither daylight-saving time nor the local
// time in the name moves).
struct FolderFile {
  std::string name;
  std::uint64_t writtenAt = 0;
};
// Of a folder's files, the dumps to remove, oldest first by the time they
// were written, so that at most `kept` remain. Other files never appear,
// nor does `newest`, the dump just written: it stays even when the clock
// was set back before it.
std::vector<std::string> DumpsToRemove(const std::vector<FolderFile>& files, const std::string& newest,
                                       std::size_t kept = kDumpsKept);
