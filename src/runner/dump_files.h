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
// Of `names` (a folder's file names), the dumps to remove, oldest first, so
// that with one more dump at most `kept` remain. Other files never appear.
std::vector<std::string> DumpsToRemove(const std::vector<std::string>& names, std::size_t kept = kDumpsKept);
