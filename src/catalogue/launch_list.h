#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "catalogue/catalogue.h"

// The five values of one surplus message, in the order the message shows
// them: fields 1, 2, 3 and 5 of the line, then the surplus text (the rest of
// the line after the fifth field, without its line break).
struct SurplusLine {
  std::string field1, field2, field3, field5, surplus;
};

// One line the reader has taken in, as byte offsets into the data (the file's
// bytes plus an appended CR LF). `begin` is where reading of the line began,
// so for a plan or program line it includes the blanks and the empty lines
// that were read into it; `end` is one past its last byte.
struct ListRecord {
  enum class Kind { kDirective, kPlan, kEntry };
  Kind kind;
  std::size_t begin;
  std::size_t end;
};

// What the reader calls back while it reads. Any of them may be empty.
struct LaunchListEvents {
  // A title directive was applied (the dialog sets its caption at once).
  std::function<void(const std::string& title)> onTitle;
  // A program line had surplus; the entry is built all the same. It is
  // called before the entry is added to the catalogue.
  std::function<void(const SurplusLine&)> onSurplus;
  // A directive was applied, a plan added or an entry added (in that order
  // with the catalogue's own arrays). Used by the list checker.
  std::function<void(const ListRecord&)> onRecord;
};

// Why reading ended.
enum class ListStop {
  kEmpty,          // empty data: nothing read
  kEndOfData,      // every byte of the data was read
  kShortTail,      // fewer than six bytes were left after a program line
  kTwoEmptyLines,  // CR LF CR LF came right after a program line
  kTruncated,      // the data ended inside a line, which gave nothing
};

// Where and why reading stopped, for the list checker's warnings.
struct LaunchListReport {
  std::size_t dataSize = 0;    // file bytes plus an appended CR LF
  std::size_t stopOffset = 0;  // where reading stopped in the data; for
                               // kTruncated the start of the line that gave nothing
  bool appendedLineBreak = false;
  ListStop stop = ListStop::kEmpty;
};

// Reads the launch list's bytes into the catalogue and applies the header
// directives to the settings. Never reads past the data; never fails.
LaunchListReport ReadLaunchListData(std::string_view fileBytes, Settings& settings,
                                    Catalogue& catalogue, const LaunchListEvents& events = {});

// Reads a whole file in binary mode. Returns false when it cannot be opened
// or read; `error` then says why.
bool ReadFileBytes(const std::string& path, std::string& bytes, std::string* error = nullptr);

// Reads the file at settings.listPath. Returns false (and leaves everything
// untouched) when the file cannot be opened or read; `error` then says why.
bool ReadLaunchListFile(Settings& settings, Catalogue& catalogue,
                        const LaunchListEvents& events = {}, std::string* error = nullptr,
                        LaunchListReport* report = nullptr);
