#include "catalogue/launch_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "text/encoding.h"
#include "text/format_text.h"
#include "text/number.h"
#include "text/texts.h"

// The launch list is read byte by byte: every delimiter is one ASCII byte, so
// a GBK trail byte equal to a delimiter acts as that delimiter. All positions
// are indices into the data and every access is checked against its size, so
// a line that the data end in the middle of is never read past the end.

namespace {

constexpr std::size_t kNone = std::string_view::npos;

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t FindByte(std::string_view d, std::size_t from, char c) {
  if (from >= d.size()) return kNone;
  const void* hit = std::memchr(d.data() + from, c, d.size() - from);
  return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - d.data()) : kNone;
}

// First blank or tab (and CR when `crEnds`) at or after `from`.
std::size_t FindFieldEnd(std::string_view d, std::size_t from, bool crEnds) {
  for (std::size_t i = from; i < d.size(); ++i) {
    const char c = d[i];
    if (c == ' ' || c == '\t' || (crEnds && c == '\r')) return i;
  }
  return kNone;
}

std::size_t SkipBlanks(std::string_view d, std::size_t pos) {
  while (pos < d.size() && IsBlankOrTab(d[pos])) ++pos;
  return pos;
}

// The directive kind ('n', 'p' or 'i') when the two bytes are "-x" or "/x"
// in lower case, else 0.
char DirectiveKind(char a, char b) {
  if (a != '-' && a != '/') return 0;
  return (b == 'n' || b == 'p' || b == 'i') ? b : 0;
}

std::string_view Trim(std::string_view v) {
  while (!v.empty() && IsWhiteSpace(v.front())) v.remove_prefix(1);
  while (!v.empty() && IsWhiteSpace(v.back())) v.remove_suffix(1);
  return v;
}

// Reads one field starting at `pos` (blanks and tabs before it skipped).
// A bracketed field runs to the first "]" and the byte after it is consumed
// as the separator, whatever it is. A bare field runs to the first blank or
// tab (or CR, for the fifth field), which is consumed. Returns false when the
// data end inside the field.
bool ReadField(std::string_view d, std::size_t& pos, bool crEnds, std::string_view& value,
               bool& bracketed) {
  pos = SkipBlanks(d, pos);
  bracketed = pos < d.size() && d[pos] == '[';
  if (bracketed) {
    const std::size_t close = FindByte(d, pos + 1, ']');
    if (close == kNone) return false;
    value = d.substr(pos + 1, close - pos - 1);
    pos = close + 2 <= d.size() ? close + 2 : d.size();
    return true;
  }
  const std::size_t end = FindFieldEnd(d, pos, crEnds);
  if (end == kNone) return false;
  value = d.substr(pos, end - pos);
  pos = end + 1;
  return true;
}

class Reader {
 public:
  Reader(std::string_view data, ListHeader& header, Catalogue& catalogue,
         const LaunchListEvents& events)
      : d_(data), header_(header), catalogue_(catalogue), events_(events) {}

  // Returns the stop reason; `stopOffset` is set alongside.
  ListStop Run(std::size_t& stopOffset);

 private:
  void Record(ListRecord::Kind kind, std::size_t begin, std::size_t end,
              const ListField* fields = nullptr) const {
    if (!events_.onRecord) return;
    ListRecord record{kind, begin, end};
    if (fields) std::copy(fields, fields + 5, record.fields);
    events_.onRecord(record);
  }
  void ApplyDirective(char kind, std::string_view value);

  std::string_view d_;
  ListHeader& header_;
  Catalogue& catalogue_;
  const LaunchListEvents& events_;
};

void Reader::ApplyDirective(char kind, std::string_view value) {
  switch (kind) {
    case 'n':
      header_.windowTitle.assign(value);
      if (events_.onTitle) events_.onTitle(header_.windowTitle);
      break;
    case 'p':
      header_.port = ParsePort(value);
      break;
    case 'i':
      header_.bindAddress.assign(Trim(value));
      break;
  }
}

ListStop Reader::Run(std::size_t& stopOffset) {
  const std::size_t n = d_.size();
  std::size_t pos = 0;

  // Header: directive lines only while they follow one another from the
  // first byte on. The third byte is skipped whatever it is; the value runs
  // to the next CR and reading goes on two bytes after it.
  while (pos + 1 < n) {
    const char kind = DirectiveKind(d_[pos], d_[pos + 1]);
    if (!kind) break;
    const std::size_t valueStart = pos + 3 < n ? pos + 3 : n;
    const std::size_t cr = FindByte(d_, valueStart, '\r');
    if (cr == kNone) {
      stopOffset = pos;
      return ListStop::kTruncated;
    }
    ApplyDirective(kind, d_.substr(valueStart, cr - valueStart));
    const std::size_t next = cr + 2 < n ? cr + 2 : n;
    Record(ListRecord::Kind::kDirective, pos, next);
    pos = next;
  }

  for (;;) {
    if (pos >= n) {
      stopOffset = n;
      return ListStop::kEndOfData;
    }
    const std::size_t lineStart = pos;
    pos = SkipBlanks(d_, pos);

    // Plan line: "::" and the name up to a blank, tab or CR; the rest of
    // the line is ignored. No end rule applies after a plan line.
    if (pos + 1 < n && d_[pos] == ':' && d_[pos + 1] == ':') {
      const std::size_t nameEnd = FindFieldEnd(d_, pos + 2, true);
      const std::size_t lf = nameEnd == kNone ? kNone : FindByte(d_, nameEnd, '\n');
      if (lf == kNone) {
        stopOffset = lineStart;
        return ListStop::kTruncated;
      }
      catalogue_.AddPlan(std::string(d_.substr(pos + 2, nameEnd - pos - 2)));
      pos = lf + 1;
      Record(ListRecord::Kind::kPlan, lineStart, pos);
      continue;
    }

    // Program line: five fields. Fields 1 to 4 do not end at a line break.
    std::string_view field[5];
    ListField where[5];
    for (int i = 0; i < 5; ++i) {
      if (!ReadField(d_, pos, i == 4, field[i], where[i].bracketed)) {
        stopOffset = lineStart;
        return ListStop::kTruncated;
      }
      where[i].begin = static_cast<std::size_t>(field[i].data() - d_.data());
      where[i].size = field[i].size();
    }

    // The line must end right after the fifth field; anything else up to
    // the next LF is surplus, reported and skipped.
    if (pos < n && d_[pos] != '\n') {
      std::size_t lf = FindByte(d_, pos, '\n');
      if (lf == kNone) lf = n;
      std::string_view rest = d_.substr(pos, lf - pos);
      if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
      if (events_.onSurplus) {
        events_.onSurplus(SurplusLine{std::string(field[0]), std::string(field[1]),
                                      std::string(field[2]), std::string(field[4]),
                                      std::string(rest)});
      }
      pos = lf < n ? lf + 1 : n;
    } else if (pos < n) {
      ++pos;  // the line's LF
    }

    auto entry = std::make_unique<LaunchEntry>();
    entry->enabled = ParseDecimal(field[0]);
    entry->programPath.assign(field[1]);
    entry->runDirectory.assign(field[2]);
    if (field[3].empty() || field[3].front() != ' ') entry->commandLine = " ";
    entry->commandLine.append(field[3]);
    entry->delaySeconds = ParseDecimal(field[4]);
    // delay + 1 in 32-bit two's complement: a delay of INT32_MAX wraps
    // instead of overflowing (that entry can then never fall due).
    entry->countdown =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(entry->delaySeconds) + 1u);
    catalogue_.AddEntry(std::move(entry));
    Record(ListRecord::Kind::kEntry, lineStart, pos, where);

    // End rules, tested only after a program line.
    if (n - pos < 6) {
      stopOffset = pos;
      return pos == n ? ListStop::kEndOfData : ListStop::kShortTail;
    }
    if (d_.compare(pos, 4, "\r\n\r\n") == 0) {
      stopOffset = pos;
      return ListStop::kTwoEmptyLines;
    }
  }
}

}  // namespace

LaunchListReport ReadLaunchListData(std::string_view fileBytes, ListHeader& header,
                                    Catalogue& catalogue, const LaunchListEvents& events) {
  LaunchListReport report;
  if (fileBytes.empty()) return report;

  // The data always end in LF: a file that does not gets CR LF appended. Only
  // then is a copy made.
  std::string extended;
  std::string_view data = fileBytes;
  if (fileBytes.back() != '\n') {
    extended.reserve(fileBytes.size() + 2);
    extended.assign(fileBytes);
    extended += "\r\n";
    data = extended;
    report.appendedLineBreak = true;
  }
  report.dataSize = data.size();

  Reader reader(data, header, catalogue, events);
  report.stop = reader.Run(report.stopOffset);
  catalogue.CloseLastPlan();
  return report;
}

namespace {

// The characters of `text` that have no GBK form, with their lines. Each
// distinct character is converted once.
std::vector<ReplacedCharacter> FindReplaced(std::u16string_view text) {
  std::vector<ReplacedCharacter> replaced;
  std::map<char16_t, bool> lossyOf;
  std::size_t line = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit == u'\n') ++line;
    if (unit < 0x80) continue;  // ASCII is the same in GBK
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
      // Utf8ToUtf16 gives surrogates only in pairs; none has a GBK form.
      const char32_t codePoint =
          0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      replaced.push_back(ReplacedCharacter{codePoint, line});
      ++i;
      continue;
    }
    auto known = lossyOf.find(unit);
    if (known == lossyOf.end()) {
      bool lossy = false;
      Utf16ToGbk(text.substr(i, 1), &lossy);
      known = lossyOf.emplace(unit, lossy).first;
    }
    if (known->second) replaced.push_back(ReplacedCharacter{unit, line});
  }
  return replaced;
}

}  // namespace

LaunchListText DecodeLaunchList(std::string_view fileBytes) {
  LaunchListText text;
  const auto marked = [&](std::string_view mark) { return fileBytes.substr(0, mark.size()) == mark; };
  std::u16string wide;
  if (marked(kUtf8Bom)) {
    text.note.encoding = ListEncoding::kUtf8Bom;
    wide = Utf8ToUtf16(fileBytes.substr(kUtf8Bom.size()));
  } else if (marked(kUtf16LeBom) || marked(kUtf16BeBom)) {
    const bool bigEndian = marked(kUtf16BeBom);
    text.note.encoding = bigEndian ? ListEncoding::kUtf16Be : ListEncoding::kUtf16Le;
    wide = Utf16BytesToUtf16(fileBytes.substr(kUtf16LeBom.size()), bigEndian);
  } else {
    bool multibyte = false;
    text.note.utf8WithoutMark = IsValidUtf8(fileBytes, &multibyte) && multibyte;
    text.gbk.assign(fileBytes);
    return text;
  }
  // GBK has no character beyond U+FFFF. Each becomes one '?' here, where
  // Windows' conversion would give one per UTF-16 unit: the launcher reads
  // the same text on every build. Surrogates come only in pairs here.
  std::u16string bmp;
  bmp.reserve(wide.size());
  bool beyond = false;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size()) {
      bmp.push_back(u'?');
      beyond = true;
      ++i;
    } else {
      bmp.push_back(wide[i]);
    }
  }
  bool lossy = false;
  text.gbk = Utf16ToGbk(bmp, &lossy);
  if (lossy || beyond) text.replaced = FindReplaced(wide);
  text.note.replacedCharacters = text.replaced.size();
  return text;
}

std::string ListEncodingDetail(const ListEncodingNote& note) {
  std::string detail;
  switch (note.encoding) {
    case ListEncoding::kGbk: detail = note.utf8WithoutMark ? texts::kDetailUtf8Unmarked : ""; break;
    case ListEncoding::kUtf8Bom: detail = texts::kDetailUtf8WithMark; break;
    case ListEncoding::kUtf16Le: detail = FormatText(texts::kDetailUtf16WithMark, "LE"); break;
    case ListEncoding::kUtf16Be: detail = FormatText(texts::kDetailUtf16WithMark, "BE"); break;
  }
  if (note.replacedCharacters == 0) return detail;
  return FormatText(texts::kDetailCharactersReplaced, detail.c_str(), static_cast<long long>(note.replacedCharacters));
}

bool ReadFileBytes(const std::u16string& path, std::string& bytes, std::string* error) {
#ifdef _WIN32
  // The C runtime's wide open: the path reaches the file system as the
  // UTF-16 it is, so it names the same file on a machine of any code page.
  std::FILE* file = _wfopen(reinterpret_cast<const wchar_t*>(path.c_str()), L"rb");
#else
  std::FILE* file = std::fopen(Utf16ToUtf8(path).c_str(), "rb");
#endif
  if (!file) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  std::string content;
  char chunk[65536];
  bool failed = false;
  errno = 0;
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
    content.append(chunk, got);
    if (got < sizeof chunk) {
      if (std::ferror(file)) {
        failed = true;
        if (error) *error = errno ? std::strerror(errno) : "read error";
      }
      break;
    }
  }
  std::fclose(file);
  if (failed) return false;
  bytes = std::move(content);
  return true;
}

bool ReadLaunchListFile(const std::u16string& path, ListHeader& header, Catalogue& catalogue,
                        const LaunchListEvents& events, std::string* error, LaunchListReport* report) {
  std::string bytes;
  if (!ReadFileBytes(path, bytes, error)) return false;
  const LaunchListText text = DecodeLaunchList(bytes);
  LaunchListReport result = ReadLaunchListData(text.gbk, header, catalogue, events);
  result.encoding = text.note;
  if (report) *report = result;
  return true;
}
