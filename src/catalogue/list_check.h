#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/launch_list.h"
#include "catalogue/list_header.h"

// A launch list read exactly as the launcher reads it (header values from
// their defaults, no command line), with what the operator cannot see in the
// dialog: where each line was, the surplus messages and the traps of the
// format.

struct ListWarning {
  enum class Kind {
    kEntriesBeforeFirstPlan,  // program lines before any plan line
    kUnreadData,              // text after the point where reading stopped
    kTruncatedLine,           // the data end inside a line, which gave nothing
    kEmptyPlan,               // a plan with no entries
    kNeverLaunched,           // an entry whose countdown can never reach zero
    kDuplicatePlanName,       // two or more plans of the same name
    kLfOnlyLines,             // line breaks without their CR
    kSwallowedPlan,           // a plan line after an empty line, read as a program line
    kDirectiveTakesNextLine,  // a directive value that runs on into the next line
    kRunOnLine,               // a program line whose fields run on into the next line(s)
    kStartsUnticked,          // an entry whose row starts unticked
    kConverted,               // a byte-order mark: read as UTF-8 or UTF-16, some characters maybe '?'
    kUtf8WithoutMark,         // UTF-8 with Chinese but no mark: read as GBK, every such text wrong
    kNotADirective,           // a line that looks like a directive where the header ends
    kDirectiveValue,          // an empty directive value, or a port outside 1..65535
    kSurplus,                 // text after the fifth field: a message box at every start
    kHiddenDelimiter,         // a "]" or "[" that is the second byte of a double-byte character
    kMissingPath,             // a program or run directory that does not exist on this machine
  };
  Kind kind;
  std::size_t line = 0;  // 1-based line of the file it points at; 0 for none
  int index = -1;        // the plan or entry it concerns; -1 for none
  std::string text;      // one line for people
};

struct SurplusRecord {
  SurplusLine message;
  int entry = 0;         // the entry that the line became
  std::size_t line = 0;  // its line in the file
};

struct ListCheck {
  ListHeader header;  // defaults, then the header's directives
  Catalogue catalogue;
  LaunchListReport report;  // its offsets count the GBK text, see textSize
  std::size_t fileSize = 0;  // the file's bytes
  std::size_t textSize = 0;  // the GBK text read: fileSize, or less the mark and converted
  std::vector<ReplacedCharacter> replaced;  // characters of a marked list that became '?'
  std::vector<SurplusRecord> surplus;   // in file order
  std::vector<std::size_t> planLines;   // line of each plan's "::"
  std::vector<std::size_t> entryLines;  // first line with text of each entry
  std::vector<ListWarning> warnings;    // in the order of the checks
};

// Takes the file's bytes through DecodeLaunchList, as the launcher does.
ListCheck CheckLaunchList(std::string_view fileBytes);

// What a path names on the machine the list is checked on.
enum class PathKind { kMissing, kFile, kDirectory };

// Warns about each entry of a plan whose program file or run directory does
// not exist, as `probe` answers for the path as written (relative paths from
// the checker's current directory). Entries that are never launched are left
// out. Only meaningful on the machine the launcher runs on.
void AddMissingPathWarnings(ListCheck& check,
                            const std::function<PathKind(const std::string&)>& probe);

// Text for the dump: backslash, TAB, CR and LF as \\ \t \r \n; every other
// byte below 0x20 or from 0x7F up as \xHH. With `forPeople` the double-byte
// GBK characters and the backslash (Windows paths) pass unchanged; a byte
// from 0x80 up that is not part of one stays \xHH, so a console never joins
// it with the byte after it.
std::string EscapeListText(std::string_view text, bool forPeople = false);

// How the report names the encoding a list was read in: "GBK", "UTF-8 with
// a byte-order mark", "UTF-16 LE with a byte-order mark" and so on.
const char* ListEncodingName(ListEncoding encoding);

// The exact machine form: LF line ends, TAB-separated fields; its first line
// names the encoding ("gbk", "utf-8-bom", "utf-16le-bom", "utf-16be-bom").
std::string FormatListDump(const ListCheck& check);

// The report for people, naming the file as `fileName`.
std::string FormatListReport(const ListCheck& check, const std::string& fileName);

// What listcheck's arguments ask for: `FILE` the report, `--dump FILE` the
// machine form, `--version` or `--help` alone the version or the usage;
// anything else is a usage error. One word other than those two is always a
// file's name, even one that looks like an option.
struct ListCheckCommand {
  enum class Action { kReport, kDump, kVersion, kHelp, kUsage };
  Action action = Action::kUsage;
  std::u16string path;  // kReport and kDump: the list's file, as given
};
ListCheckCommand ParseListCheckArguments(const std::vector<std::u16string>& args);

// listcheck's exit status once its report is written: 0 with no warning, 1
// with any, so that a deploy can stop before it puts the list in place. (2 is
// for a list that could not be read and for a usage error.)
int ListCheckReportStatus(const ListCheck& check);
