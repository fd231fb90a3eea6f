#include "runner/dump_files.h"

#include <algorithm>

#include "text/encoding.h"
#include "text/format_text.h"

namespace {

bool Digits(const std::string& text, std::size_t from, std::size_t count) {
  if (from + count > text.size()) return false;
  for (std::size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

constexpr std::size_t kStampLength = 15;  // YYYYMMDD-HHMMSS
constexpr char kExtension[] = ".dmp";

}  // namespace

std::string DumpFileName(const std::string& programPath, std::uint32_t pid, const LocalTime& time) {
  return GbkFileName(programPath) +
         FormatText("_%u_%04d%02d%02d-%02d%02d%02d%s", static_cast<unsigned>(pid), time.year, time.month, time.day,
                    time.hour, time.minute, time.second, kExtension);
}

bool IsDumpFileName(const std::string& name) {
  const std::size_t extension = sizeof kExtension - 1;
  if (name.size() < extension + kStampLength + 3) return false;
  if (name.compare(name.size() - extension, extension, kExtension) != 0) return false;
  const std::size_t stamp = name.size() - extension - kStampLength;
  if (!Digits(name, stamp, 8) || name[stamp + 8] != '-' || !Digits(name, stamp + 9, 6)) return false;
  if (name[stamp - 1] != '_') return false;
  // The process id: digits between two '_', after a file name of one byte at least.
  std::size_t pid = stamp - 1;
  while (pid > 0 && name[pid - 1] >= '0' && name[pid - 1] <= '9') --pid;
  return pid < stamp - 1 && pid >= 2 && name[pid - 1] == '_';
}

std::vector<std::string> DumpsToRemove(const std::vector<FolderFile>& files, const std::string& newest,
                                       std::size_t kept) {
  // Not by the local time in the names, which the end of daylight-saving
  // time or a clock set back makes go backwards.
  std::size_t ours = 0;
  std::vector<FolderFile> removable;
  for (const FolderFile& file : files) {
    if (!IsDumpFileName(file.name)) continue;
    ++ours;
    if (file.name != newest) removable.push_back(file);
  }
  std::sort(removable.begin(), removable.end(), [](const FolderFile& a, const FolderFile& b) {
    return a.writtenAt != b.writtenAt ? a.writtenAt < b.writtenAt : a.name < b.name;
  });
  std::vector<std::string> removed;
  for (std::size_t i = 0; i < removable.size() && ours - i > kept; ++i) removed.push_back(removable[i].name);
  return removed;
}
