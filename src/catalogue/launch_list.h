#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/list_header.h"

// The five values of one surplus message, in the order the message shows
// them: fields 1, 2, 3 and 5 of the line, then the surplus text (the rest of
// the line after the fifth field, without its line break).
struct SurplusLine {
  std::string field1, field2, field3, field5, surplus;
};

// Where one field of a program line lies in the data: its value's first byte
// and size, and whether it was read as a bracketed field.
struct ListField {
  std::size_t begin = 0;
  std::size_t size = 0;
  bool bracketed = false;
};

// One line the reader has taken in, as byte offsets into the data (the list's
// GBK text, see LaunchListText, plus an appended CR LF). `begin` is where
// reading of the line began, so for a plan or program line it includes the
// blanks and the empty lines that were read into it; `end` is one past its
// last byte. For a program line, `fields` are its five fields as read.
struct ListRecord {
  enum class Kind { kDirective, kPlan, kEntry };
  Kind kind;
  std::size_t begin;
  std::size_t end;
  ListField fields[5] = {};
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

// How the file's bytes were taken. A file with a byte-order mark is converted
// to GBK without the mark.
enum class ListEncoding {
  kGbk,       // as they are: the list's own encoding
  kUtf8Bom,   // UTF-8 after its mark
  kUtf16Le,   // UTF-16 little-endian after its mark (Notepad's "UTF-16 LE")
  kUtf16Be,   // UTF-16 big-endian after its mark (Notepad's "UTF-16 BE")
};

// What the log notes once when a list is read: how it was taken, and whether
// a list read as GBK looked like UTF-8 (then its Chinese texts are wrong).
struct ListEncodingNote {
  ListEncoding encoding = ListEncoding::kGbk;
  bool utf8WithoutMark = false;
  std::size_t replacedCharacters = 0;  // characters that became '?' (a marked file only)
};

// The journal's words for how a list was read (GBK), or "" for a list read
// as GBK that does not look like UTF-8: nothing to say.
std::string ListEncodingDetail(const ListEncodingNote& note);

// Where and why reading stopped, for the list checker's warnings. The byte
// offsets count the data the reader read: the list's GBK text (for a UTF-8
// list the converted text, not the file's bytes) plus an appended CR LF.
struct LaunchListReport {
  std::size_t dataSize = 0;    // GBK text bytes plus an appended CR LF
  std::size_t stopOffset = 0;  // where reading stopped in the data; for
                               // kTruncated the start of the line that gave nothing
  bool appendedLineBreak = false;
  ListStop stop = ListStop::kEmpty;
  ListEncodingNote encoding;  // set by ReadLaunchListFile, not by ReadLaunchListData
};

// A character of a marked (UTF-8 or UTF-16) list that has no GBK form and
// was read as '?'. U+FFFD stands for bytes that are not of the encoding.
struct ReplacedCharacter {
  char32_t codePoint = 0;
  std::size_t line = 0;  // 1-based
};

// A list file's bytes as the reader takes them.
struct LaunchListText {
  std::string gbk;  // what ReadLaunchListData reads
  ListEncodingNote note;
  std::vector<ReplacedCharacter> replaced;  // in file order
};

// The one place that decides how a list file's bytes are read, for the
// launcher and the list checker alike. A file that begins with the UTF-8 or
// a UTF-16 byte-order mark is of that encoding: the mark is dropped and the
// rest converted to GBK, each character GBK lacks becoming one '?'. No GBK
// list begins with those bytes (FF is no GBK byte, and read as GBK the UTF-8
// mark's line would not even be a directive). Any other file is GBK and taken
// byte for byte; the note then says whether it is valid UTF-8 with
// multi-byte characters.
LaunchListText DecodeLaunchList(std::string_view fileBytes);

// Reads a launch list's GBK text (a file's bytes go through DecodeLaunchList
// first) into the catalogue and applies the header directives to `header`.
// Never reads past the data; never fails.
LaunchListReport ReadLaunchListData(std::string_view fileBytes, ListHeader& header,
                                    Catalogue& catalogue, const LaunchListEvents& events = {});

// Reads a whole file in binary mode. On Windows `path` is opened as the
// UTF-16 it is, whatever the machine's code page; elsewhere as its UTF-8.
// Returns false when it cannot be opened or read; `error` then says why.
bool ReadFileBytes(const std::u16string& path, std::string& bytes, std::string* error = nullptr);

// Reads the file at `path` (opened as ReadFileBytes opens it) through
// DecodeLaunchList; the report notes how it was taken. Returns false (and
// leaves everything untouched) when the file cannot be opened or read;
// `error` then says why.
bool ReadLaunchListFile(const std::u16string& path, ListHeader& header, Catalogue& catalogue,
                        const LaunchListEvents& events = {}, std::string* error = nullptr,
                        LaunchListReport* report = nullptr);
