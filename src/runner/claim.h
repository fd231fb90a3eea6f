#pragma once
// Which running process is a row's: the claim rules a launch follows before
// it starts anything, so that a program is never run twice and never taken
// from another row or another launcher.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/event.h"

// How the runner recognises a program: what a row would run, or what a
// running process was started with, as far as it can be read. The host gives
// files and directories as full paths in one folded form, so equal texts
// mean the same file whatever case the list or the process used.
struct ProcessIdentity {
  std::string file;               // the executable file; never empty for a row
  std::string directory;          // the current directory; empty: unknown
  std::string commandLine;        // as the process was given it, GBK
  bool commandLineKnown = true;   // false: it could not be read
  // The program's path as text (full, folded as `file`'s path form), where
  // known: what tells a row's own process whose file at that path has been
  // replaced since (renamed aside, a new build copied in). Empty in a
  // record an older launcher wrote.
  std::string path = {};
};

// A running process of the launcher's session that this launcher does not
// hold already and that runs a row's file, or whose launch record names it.
struct FoundProcess {
  std::uint32_t pid = 0;
  ProcessIdentity identity;         // as read from the process now
  std::uint32_t otherLauncher = 0;  // another launcher that supervises it; 0: none
  // The launch record a launcher gave the process when it created it (or
  // took it over as what its row's process left): the row's identity as
  // launched. A record is trusted only when its creation time is the
  // process's own, so a reused process id never carries an old record.
  bool recorded = false;
  ProcessIdentity launched;
  // When the process was created, as seen at the look: a takeover checks it
  // again, so it never takes a process that has reused the id since.
  std::uint64_t created = 0;
};

// What a row whose launch is due does about the processes already running
// its program.
enum class Claim {
  kStart,           // none is its own: start the program
  kAdopt,           // one runs exactly as the row would start it
  kAdoptDiffering,  // one runs in the row's file and directory with another command line
  // Waits without starting, as long as the reason lasts:
  kHeldByLauncher,  // the process is another launcher's
  kHeldUnreadable,  // one runs the file but cannot be read or opened
  kHeldAmbiguous,   // one runs in the file and directory of several rows, matching none
  kHeldFolder,      // without a record, one runs the file in another folder, or one that cannot be read
  kHeldEnding,      // the row's own process was terminated and has not ended yet
  kReading,         // what the look needs of the disk is being read (said nowhere: it takes moments)
};

struct ClaimChoice {
  Claim claim = Claim::kStart;
  std::uint32_t pid = 0;            // the process adopted or waited for
  std::uint32_t otherLauncher = 0;  // kHeldByLauncher: the launcher's id
  std::string commandLine;          // kAdoptDiffering: the process's command line
  AdoptBasis basis = AdoptBasis::kGuess;  // kAdopt*: what the takeover goes by
};

// Decides for row `row` of a plan, given every row's identity (in row order)
// and the processes found. A record decides alone: a process launched as the
// row is the row's, wherever its current directory has moved since, and so
// is one launched from the row's path, folder and command line whose file has
// been replaced at that path since (taken with AdoptBasis::kReplacedFile);
// one launched as another row, or elsewhere, is not. Without a record the
// process is the row's only when its command line and current directory are
// the row's; one that is exactly another row's is that row's; any other,
// whose folder differs or cannot be read or whose command line cannot be
// read, holds the row: it may be the row's, and a second copy is never
// started beside it. A process launched (or running) in the row's folder
// with another command line is taken when no other row has that file and
// folder: the same server restarted with edited arguments.
ClaimChoice ChooseClaim(const std::vector<ProcessIdentity>& rows, std::size_t row,
                        const std::vector<FoundProcess>& found);

// A file id as identities spell it: "#", the volume serial number in 16 hex
// digits, ":", the id's bytes in hex. Empty for an id of zeros, which
// redirectors and user-mode file systems give for every file: such a file
// has no id and is told by its path instead, never taken for another.
std::string FileIdText(std::uint64_t volume, const unsigned char* id, std::size_t size);

// Whether a launch record is believed, by the integrity levels (mandatory
// label RIDs) of its object and of the launcher reading it; 0: unreadable.
// A launcher at high integrity or above labels its own objects high, and
// believes no record below that: the same user's unelevated programs could
// forge one, to have it take over, end or dump a process of their choice.
// Below high, a record is believed at the launcher's level or above. A
// launcher that cannot read its own level believes what it did before.
bool RecordLabelBelieved(std::uint32_t record, std::uint32_t launcher);

// Whether two identities name the same program, folder and command line.
bool SameIdentity(const ProcessIdentity& a, const ProcessIdentity& b);
