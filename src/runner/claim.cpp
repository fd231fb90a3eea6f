#include "runner/claim.h"

#include <algorithm>
#include <cstdio>

bool SameIdentity(const ProcessIdentity& a, const ProcessIdentity& b) {
  return a.file == b.file && a.directory == b.directory && a.commandLine == b.commandLine;
}

std::string FileIdText(std::uint64_t volume, const unsigned char* id, std::size_t size) {
  bool any = false;
  for (std::size_t i = 0; i < size; ++i) any = any || id[i] != 0;
  if (!any) return {};
  char hex[24];
  std::snprintf(hex, sizeof hex, "#%016llX:", static_cast<unsigned long long>(volume));
  std::string text = hex;
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, "%02X", id[i]);
    text += hex;
  }
  return text;
}

bool RecordLabelBelieved(std::uint32_t record, std::uint32_t launcher) {
  constexpr std::uint32_t kHigh = 0x3000;  // SECURITY_MANDATORY_HIGH_RID
  return launcher == 0 || (record != 0 && record >= std::min(launcher, kHigh));
}

namespace {

// Launched for the row from its path, folder and command line, from a file
// that has been replaced at that path since: the row's own, running an older
// build. File identities still tell rows apart; a path alone never does.
bool ReplacedFileOf(const FoundProcess& process, const ProcessIdentity& row) {
  const ProcessIdentity& launched = process.launched;
  return process.recorded && launched.file != row.file && !launched.path.empty() && launched.path == row.path &&
         launched.directory == row.directory && launched.commandLine == row.commandLine;
}

// What a process's own record, or else what can be read of it now, says.
bool LaunchedAs(const FoundProcess& process, const ProcessIdentity& row) {
  if (process.recorded) return SameIdentity(process.launched, row) || ReplacedFileOf(process, row);
  const ProcessIdentity& now = process.identity;
  return now.file == row.file && now.commandLineKnown && now.commandLine == row.commandLine &&
         !now.directory.empty() && now.directory == row.directory;
}

}  // namespace

ClaimChoice ChooseClaim(const std::vector<ProcessIdentity>& rows, std::size_t row,
                        const std::vector<FoundProcess>& found) {
  if (row >= rows.size()) return {};
  const ProcessIdentity& own = rows[row];
  const auto anotherRows = [&](const FoundProcess& process) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (r != row && LaunchedAs(process, rows[r])) return true;
    }
    return false;
  };
  const auto rowsInFileAndDirectory = [&](const ProcessIdentity& process) {
    std::size_t n = 0;
    for (const ProcessIdentity& r : rows) n += r.file == process.file && r.directory == process.directory;
    return n;
  };
  const auto basis = [&own](const FoundProcess& process) {
    if (ReplacedFileOf(process, own)) return AdoptBasis::kReplacedFile;
    return process.recorded ? AdoptBasis::kRecord : AdoptBasis::kGuess;
  };

  // Launched as the row: a free one is taken, a record before a guess; one
  // that another launcher holds keeps this row from starting a second.
  const FoundProcess* heldElsewhere = nullptr;
  for (const bool recorded : {true, false}) {
    for (const FoundProcess& process : found) {
      if (process.recorded != recorded || !LaunchedAs(process, own)) continue;
      if (process.otherLauncher == 0) return {Claim::kAdopt, process.pid, 0, {}, basis(process)};
      if (!heldElsewhere) heldElsewhere = &process;
    }
  }
  if (heldElsewhere) return {Claim::kHeldByLauncher, heldElsewhere->pid, heldElsewhere->otherLauncher, {}, {}};

  for (const FoundProcess& process : found) {
    if (anotherRows(process)) continue;
    const ProcessIdentity& identity = process.recorded ? process.launched : process.identity;
    if (process.recorded && (identity.file != own.file || identity.directory != own.directory)) {
      continue;  // launched for a row of another folder or program: not this row's
    }
    if (!process.recorded) {
      // It may be the row's own, moved to another folder since it started,
      // or one that cannot be read: it is neither taken nor doubled.
      if (!identity.commandLineKnown) return {Claim::kHeldUnreadable, process.pid, 0, {}, {}};
      if (identity.directory.empty() || identity.directory != own.directory) {
        return {Claim::kHeldFolder, process.pid, 0, {}, {}};
      }
    }
    // The row's file and folder with another command line: the same server
    // started with edited arguments.
    if (process.otherLauncher != 0) return {Claim::kHeldByLauncher, process.pid, process.otherLauncher, {}, {}};
    if (rowsInFileAndDirectory(identity) > 1) return {Claim::kHeldAmbiguous, process.pid, 0, {}, {}};
    return {Claim::kAdoptDiffering, process.pid, 0, identity.commandLine, basis(process)};
  }
  return {};
}
