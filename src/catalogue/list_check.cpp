#include "catalogue/list_check.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "text/number.h"

namespace {

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }
bool IsLineSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Num(long long v) { return std::to_string(v); }

bool IsGbkLead(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return b >= 0x81 && b <= 0xFE;
}
bool IsGbkTrail(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return b >= 0x40 && b <= 0xFE && b != 0x7F;
}

// Which bytes of the data are the second byte of a double-byte character,
// reading GBK from the first byte. A line break is never part of one, so
// every line starts in step.
std::vector<bool> SecondBytes(std::string_view d) {
  std::vector<bool> second(d.size(), false);
  for (std::size_t i = 0; i + 1 < d.size(); ++i) {
    if (IsGbkLead(d[i]) && IsGbkTrail(d[i + 1])) second[++i] = true;
  }
  return second;
}

// Line numbers of byte offsets: 1 + the number of LF bytes before the offset.
class LineIndex {
 public:
  explicit LineIndex(std::string_view d) {
    for (std::size_t i = 0; i < d.size(); ++i)
      if (d[i] == '\n') lfs_.push_back(i);
  }
  std::size_t LineOf(std::size_t offset) const {
    return static_cast<std::size_t>(std::lower_bound(lfs_.begin(), lfs_.end(), offset) -
                                    lfs_.begin()) +
           1;
  }

 private:
  std::vector<std::size_t> lfs_;
};

std::size_t FirstTextByte(std::string_view d, std::size_t begin, std::size_t end) {
  std::size_t p = begin;
  while (p < end && IsLineSpace(d[p])) ++p;
  return p < end ? p : begin;
}

// The plan name after "::" at `p`, up to a blank, tab, CR or LF.
std::string_view PlanNameAt(std::string_view d, std::size_t p, std::size_t end) {
  std::size_t q = p + 2;
  while (q < end && !IsLineSpace(d[q])) ++q;
  return d.substr(p + 2, q - (p + 2));
}

// When the line read from `begin` opens with an empty (or blank-only) line
// followed by a plan line, returns the offset of that plan line's "::".
std::size_t SwallowedPlanAt(std::string_view d, std::size_t begin, std::size_t end) {
  std::size_t p = begin;
  while (p < end && IsBlankOrTab(d[p])) ++p;
  if (p >= end || (d[p] != '\r' && d[p] != '\n')) return std::string_view::npos;
  while (p < end && IsLineSpace(d[p])) ++p;
  if (p + 1 < end && d[p] == ':' && d[p + 1] == ':') return p;
  return std::string_view::npos;
}

// When the program line read over [begin, end) holds a line break between its
// first text and its own line end, gives the first and last line it spans.
bool RunsOn(std::string_view d, std::size_t begin, std::size_t end, const LineIndex& lines,
            std::size_t& from, std::size_t& to) {
  const std::size_t first = FirstTextByte(d, begin, end);
  std::size_t last = end;
  while (last > first && (d[last - 1] == '\r' || d[last - 1] == '\n')) --last;
  if (last <= first || d.substr(first, last - first).find('\n') == std::string_view::npos) return false;
  from = lines.LineOf(first);
  to = lines.LineOf(last - 1);
  return true;
}

std::string Quote(std::string_view text) { return "\"" + EscapeListText(text, true) + "\""; }

std::string_view Trim(std::string_view v) {
  while (!v.empty() && (IsLineSpace(v.front()) || v.front() == '\v' || v.front() == '\f'))
    v.remove_prefix(1);
  while (!v.empty() && (IsLineSpace(v.back()) || v.back() == '\v' || v.back() == '\f'))
    v.remove_suffix(1);
  return v;
}

std::string SettingName(char kind) {
  return kind == 'n' ? "the window title" : kind == 'p' ? "the heartbeat port" : "the bind address";
}

// What the launcher makes of a directive's value ('n', 'p' or 'i').
std::string DirectiveOutcome(char kind, std::string_view value) {
  if (kind == 'n') {
    return value.empty() ? "the window title becomes empty, also over a title given on the "
                           "command line"
                         : "the window title becomes " + Quote(value);
  }
  if (kind == 'p') {
    const std::uint16_t port = ParsePort(value);
    std::string text = "the heartbeat port becomes " + Num(port);
    if (port == 0) {
      text += ", so Windows picks a free port that no program sends to: no heartbeat "
              "arrives and no hang is ever detected";
    }
    return text;
  }
  const std::string_view address = Trim(value);
  return address.empty() ? "the launcher listens on all local addresses, also over an address "
                           "given on the command line"
                         : "the bind address becomes " + Quote(address);
}

// Plan lines in [begin, end), as "NAME" (line L), at most `limit` of them.
std::string PlanLinesIn(std::string_view d, std::size_t begin, std::size_t end,
                        const LineIndex& lines, std::size_t& found) {
  std::string list;
  found = 0;
  const std::size_t limit = 5;
  std::size_t p = begin;
  while (p < end) {
    std::size_t q = p;
    while (q < end && IsBlankOrTab(d[q])) ++q;
    if (q + 1 < end && d[q] == ':' && d[q + 1] == ':') {
      if (found < limit) {
        if (found) list += ", ";
        list += Quote(PlanNameAt(d, q, end)) + " (line " +
                Num(static_cast<long long>(lines.LineOf(q))) + ")";
      }
      ++found;
    }
    const std::size_t lf = d.find('\n', q);
    if (lf == std::string_view::npos || lf >= end) break;
    p = lf + 1;
  }
  if (found > limit) list += ", and " + Num(static_cast<long long>(found - limit)) + " more";
  return list;
}

bool HasText(std::string_view d, std::size_t begin, std::size_t end) {
  for (std::size_t p = begin; p < end; ++p)
    if (!IsLineSpace(d[p])) return true;
  return false;
}

void Warn(ListCheck& c, ListWarning::Kind kind, std::size_t line, int index, std::string text) {
  c.warnings.push_back(ListWarning{kind, line, index, std::move(text)});
}

std::string PlanLabel(const ListCheck& c, int plan) {
  return "plan " + Num(plan) + " " + Quote(c.catalogue.m_planNames[static_cast<std::size_t>(plan)]);
}

// The plan of every entry, -1 for the entries before the first plan.
std::vector<int> EntryOwners(const Catalogue& catalogue) {
  std::vector<int> owner(catalogue.m_entries.size(), -1);
  for (std::size_t k = 0; k < catalogue.PlanCount(); ++k) {
    const PlanRange r = catalogue.Range(static_cast<int>(k));
    for (std::int32_t i = 0; i < r.count; ++i)
      owner[static_cast<std::size_t>(r.first + i)] = static_cast<int>(k);
  }
  return owner;
}

// "U+4E2D": how the report names a character that has no GBK form.
std::string CodePointName(char32_t c) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string digits;
  for (; c != 0 || digits.size() < 4; c >>= 4) digits.insert(digits.begin(), kHex[c & 0xF]);
  return "U+" + digits;
}

// The file's encoding comes first: when it is wrong, every text after it is.
void AddEncodingWarnings(ListCheck& c, std::string_view d, const LineIndex& lines) {
  using Kind = ListWarning::Kind;
  const ListEncoding encoding = c.report.encoding.encoding;
  if (encoding != ListEncoding::kGbk) {
    const std::string name = encoding == ListEncoding::kUtf8Bom   ? "UTF-8"
                             : encoding == ListEncoding::kUtf16Le ? "UTF-16 LE"
                                                                  : "UTF-16 BE";
    std::string text = "the file begins with a " + name + " byte-order mark: it is read as " + name +
                       " and converted to GBK, as the launcher does (byte numbers count the converted text)";
    if (!c.replaced.empty()) {
      text += "; " + Num(static_cast<long long>(c.replaced.size())) +
              " character(s) without a GBK form became \"?\": ";
      for (std::size_t i = 0; i < c.replaced.size(); ++i) {
        const ReplacedCharacter& r = c.replaced[i];
        if (i) text += ", ";
        text += CodePointName(r.codePoint) +
                (r.codePoint == 0xFFFD ? " (not " + name + ", line " : std::string(" (line ")) +
                Num(static_cast<long long>(r.line)) + ")";
      }
    }
    Warn(c, Kind::kConverted, 1, -1, std::move(text));
  } else if (c.report.encoding.utf8WithoutMark) {
    std::size_t first = 0;
    while (first < c.textSize && static_cast<unsigned char>(d[first]) < 0x80) ++first;
    const std::size_t line = lines.LineOf(first);
    Warn(c, Kind::kUtf8WithoutMark, line, -1,
         "the file looks like UTF-8 without a byte-order mark (valid UTF-8 with multi-byte "
         "characters, first on line " +
             Num(static_cast<long long>(line)) +
             "): the launcher reads it as GBK, so every Chinese name and path will be wrong; "
             "save it as ANSI in Notepad (File > Save As, Encoding: ANSI; on a Chinese Windows "
             "ANSI is GBK)");
  }
}

const char* const kFieldNames[5] = {"launch switch", "program", "run directory", "command line",
                                    "delay"};

// A bracketed field runs to the first "]" byte, and a field opens a bracket at
// a "[" byte, even when that byte is the second half of a double-byte
// character (GBK has many: 揮 is 93 5D). The first such field of the line.
void AddHiddenDelimiterWarning(ListCheck& c, std::string_view d, const LineIndex& lines,
                               const std::vector<bool>& second, const ListRecord& r,
                               std::size_t entry) {
  for (int i = 0; i < 5; ++i) {
    const ListField& f = r.fields[i];
    if (!f.bracketed) continue;
    const std::string field = "field " + Num(i + 1) + " (" + kFieldNames[i] + ") of entry " +
                              Num(static_cast<long long>(entry));
    const std::string readAs = Quote(d.substr(f.begin, f.size));
    const std::size_t open = f.begin - 1;
    const std::size_t close = f.begin + f.size;
    std::string text;
    std::size_t at = 0;
    if (open >= 1 && second[open]) {
      at = open;
      text = field + " opens at a \"[\" that is the second byte of " +
             Quote(d.substr(open - 1, 2)) +
             " (the byte before it was taken as a separator): the launcher reads a bracketed "
             "field from there, " + readAs;
    } else if (close < d.size() && second[close]) {
      at = close;
      text = "the \"]\" that ends " + field + " is the second byte of " +
             Quote(d.substr(close - 1, 2)) + ": the launcher ends the field there, reads it as " +
             readAs +
             " and the rest of the line as the next fields; write the field without brackets "
             "(when it has no blank), or rename the file or folder";
    } else {
      continue;
    }
    const std::size_t line = lines.LineOf(at);
    Warn(c, ListWarning::Kind::kHiddenDelimiter, line, static_cast<int>(entry),
         "line " + Num(static_cast<long long>(line)) + ": " + text);
    return;
  }
}

void AddWarnings(ListCheck& c, std::string_view d, const LineIndex& lines,
                 const std::vector<ListRecord>& records) {
  using Kind = ListWarning::Kind;
  const Catalogue& cat = c.catalogue;
  const std::size_t fileEnd = c.textSize;
  AddEncodingWarnings(c, d, lines);

  // Line breaks without their CR.
  std::size_t lfOnly = 0, breaks = 0, firstLfOnly = 0;
  for (std::size_t i = 0; i < fileEnd; ++i) {
    if (d[i] != '\n') continue;
    ++breaks;
    if (i == 0 || d[i - 1] != '\r') {
      if (!lfOnly) firstLfOnly = lines.LineOf(i);
      ++lfOnly;
    }
  }
  if (lfOnly) {
    Warn(c, Kind::kLfOnlyLines, firstLfOnly, -1,
         Num(static_cast<long long>(lfOnly)) + " of " + Num(static_cast<long long>(breaks)) +
             " lines end in LF alone (first: line " + Num(static_cast<long long>(firstLfOnly)) +
             "); lines must end in CR LF, otherwise plan names, fifth fields and directive "
             "values run on into the next line");
  }

  // Directives whose value runs into the next line (a prefix alone on its
  // line), or whose value the launcher takes otherwise than it looks.
  std::size_t headerEnd = 0;
  for (const ListRecord& r : records) {
    if (r.kind != ListRecord::Kind::kDirective) continue;
    headerEnd = r.end;
    const std::size_t valueStart = std::min(r.begin + 3, r.end);
    const std::size_t valueEnd = r.end >= 2 ? std::max(r.end - 2, valueStart) : valueStart;  // the CR
    const std::string_view value = d.substr(valueStart, valueEnd - valueStart);
    const char kind = d[r.begin + 1];
    const std::size_t line = lines.LineOf(r.begin);
    const std::string prefix = "line " + Num(static_cast<long long>(line)) + ": directive \"" +
                               std::string(d.substr(r.begin, 2)) + "\" ";
    if (value.find('\n') != std::string_view::npos) {
      Warn(c, Kind::kDirectiveTakesNextLine, line, -1,
           prefix + "has no value on its own line and takes the next line as its value: " +
               DirectiveOutcome(kind, value));
      continue;
    }
    const bool empty = Trim(value).empty();
    if (kind == 'p' && !empty) {
      const std::int32_t port = ParseDecimal(value);
      if (port >= 1 && port <= 65535) continue;
      Warn(c, Kind::kDirectiveValue, line, -1,
           prefix + "value " + Quote(value) + " is not a port from 1 to 65535: " +
               DirectiveOutcome(kind, value));
    } else if (empty) {
      Warn(c, Kind::kDirectiveValue, line, -1,
           prefix + "has no value: " + DirectiveOutcome(kind, value));
    }
  }

  // A line that looks like a directive where the header ends is not one. (A
  // lower-case one in the first column there is a directive whose value
  // never ends: reading stopped on it, which is warned about below.)
  std::size_t at = headerEnd;
  while (at < fileEnd && IsLineSpace(d[at])) ++at;
  const bool looksLikeOne = at + 1 < fileEnd && (d[at] == '/' || d[at] == '-') &&
                            std::string_view("npiNPI").find(d[at + 1]) != std::string_view::npos &&
                            (at + 2 >= fileEnd || IsLineSpace(d[at + 2]));
  const char kind = looksLikeOne ? static_cast<char>(d[at + 1] | 0x20) : 0;
  const bool upper = looksLikeOne && d[at + 1] != kind;
  if (looksLikeOne && (upper || at != headerEnd)) {
    const std::size_t line = lines.LineOf(at);
    std::string why;
    if (upper) why = "directives are lower case (\"" + std::string(1, d[at]) + kind + "\")";
    if (at != headerEnd) {
      if (!why.empty()) why += ", and ";
      why += headerEnd == 0 ? "they start in the first column of the first line"
                            : "they start in the first column of the line right after the "
                              "previous directive";
    }
    Warn(c, Kind::kNotADirective, line, -1,
         "line " + Num(static_cast<long long>(line)) + ": " + Quote(d.substr(at, 2)) +
             " looks like a directive but is not one: " + why +
             "; the launcher reads this line as the start of a program line, so it does not set " +
             SettingName(kind) + ", and no line after it is a directive");
  }

  // Program lines before the first plan line.
  const std::size_t firstPlanEntry =
      cat.PlanCount() ? static_cast<std::size_t>(cat.Range(0).first) : cat.m_entries.size();
  if (firstPlanEntry > 0) {
    Warn(c, Kind::kEntriesBeforeFirstPlan, c.entryLines[0], 0,
         Num(static_cast<long long>(firstPlanEntry)) +
             " program line(s) before the first plan line (from line " +
             Num(static_cast<long long>(c.entryLines[0])) +
             ") are read but belong to no plan: never shown, never launched");
  }

  // Empty lines that turn a plan line into part of a program line; run-on
  // lines; brackets hidden in double-byte characters.
  const std::vector<bool> second = SecondBytes(d);
  const std::vector<int> owners = EntryOwners(cat);
  std::size_t entryNo = 0;
  for (const ListRecord& r : records) {
    if (r.kind != ListRecord::Kind::kEntry) continue;
    const std::size_t at = SwallowedPlanAt(d, r.begin, r.end);
    std::size_t runOnFrom = 0, runOnTo = 0;
    if (at == std::string_view::npos && RunsOn(d, r.begin, r.end, lines, runOnFrom, runOnTo)) {
      Warn(c, Kind::kRunOnLine, runOnFrom, static_cast<int>(entryNo),
           "lines " + Num(static_cast<long long>(runOnFrom)) + "-" + Num(static_cast<long long>(runOnTo)) +
               " make one program line (entry " + Num(static_cast<long long>(entryNo)) +
               "): a line with fewer than five fields takes the rest from the next line, and a "
               "\"[\" field runs to its \"]\" across line breaks");
    }
    if (at != std::string_view::npos) {
      const int owner = owners[entryNo];
      const std::size_t line = lines.LineOf(at);
      Warn(c, Kind::kSwallowedPlan, line, static_cast<int>(entryNo),
           "line " + Num(static_cast<long long>(line)) + ": plan line " +
               Quote(d.substr(at, 2 + PlanNameAt(d, at, r.end).size())) +
               " follows an empty line and is read as part of a program line (entry " +
               Num(static_cast<long long>(entryNo)) + ", " +
               (owner >= 0 ? PlanLabel(c, owner) : std::string("before the first plan")) +
               "); that plan does not exist");
    }
    AddHiddenDelimiterWarning(c, d, lines, second, r, entryNo);
    ++entryNo;
  }

  // Every surplus line is a message box that waits for someone at each start.
  for (const SurplusRecord& s : c.surplus) {
    Warn(c, Kind::kSurplus, s.line, s.entry,
         "line " + Num(static_cast<long long>(s.line)) + ": entry " + Num(s.entry) +
             " has text after its fifth field (surplus " + Quote(s.message.surplus) +
             "): whenever the launcher reads the list it shows a message box for this line and "
             "reads on only after OK is pressed, before an automatic start too");
  }

  // Where reading stopped, and what it left unread.
  const LaunchListReport& rep = c.report;
  const std::size_t stopAt = std::min(rep.stopOffset, fileEnd);
  if (rep.stop == ListStop::kTruncated) {
    const std::size_t line = lines.LineOf(FirstTextByte(d, rep.stopOffset, rep.dataSize));
    std::size_t plans = 0;
    const std::string planList = PlanLinesIn(d, stopAt, fileEnd, lines, plans);
    std::string text =
        "line " + Num(static_cast<long long>(line)) +
        ": the data end inside this line (a \"[\" without \"]\", or a field, plan name "
        "or directive value without its end); it gives nothing and reading stops there, " +
        Num(static_cast<long long>(fileEnd - stopAt)) + " byte(s) unused";
    if (plans) text += "; plan lines among them: " + planList;
    const std::size_t swallowed = SwallowedPlanAt(d, rep.stopOffset, rep.dataSize);
    if (swallowed != std::string_view::npos)
      text += " (the plan line follows an empty line, which made it part of a program line)";
    Warn(c, Kind::kTruncatedLine, line, -1, std::move(text));
  } else if ((rep.stop == ListStop::kShortTail || rep.stop == ListStop::kTwoEmptyLines) &&
             HasText(d, stopAt, fileEnd)) {
    const std::size_t line = lines.LineOf(stopAt);
    std::size_t plans = 0;
    const std::string planList = PlanLinesIn(d, stopAt, fileEnd, lines, plans);
    std::string text = "reading stops at line " + Num(static_cast<long long>(line)) +
                       (rep.stop == ListStop::kTwoEmptyLines
                            ? " (two empty lines after a program line)"
                            : " (fewer than six bytes left after a program line)") +
                       ": " + Num(static_cast<long long>(fileEnd - stopAt)) +
                       " byte(s) after it are never read";
    if (plans) text += "; plan lines among them: " + planList;
    Warn(c, Kind::kUnreadData, line, -1, std::move(text));
  }

  // Plans with no entries, duplicate names, entries that never fall due.
  std::map<std::string, std::vector<int>> byName;
  std::vector<std::string> nameOrder;
  for (std::size_t k = 0; k < cat.PlanCount(); ++k) {
    const int plan = static_cast<int>(k);
    if (cat.Range(plan).count == 0) {
      Warn(c, Kind::kEmptyPlan, c.planLines[k], plan,
           "line " + Num(static_cast<long long>(c.planLines[k])) + ": " + PlanLabel(c, plan) +
               " has no entries: it launches nothing");
    }
    auto& seen = byName[cat.m_planNames[k]];
    if (seen.empty()) nameOrder.push_back(cat.m_planNames[k]);
    seen.push_back(plan);
  }
  for (const std::string& name : nameOrder) {
    const std::vector<int>& plans = byName[name];
    if (plans.size() < 2) continue;
    std::string list;
    for (int k : plans) {
      if (!list.empty()) list += ", ";
      list += Num(k) + " (line " +
              Num(static_cast<long long>(c.planLines[static_cast<std::size_t>(k)])) + ")";
    }
    Warn(c, Kind::kDuplicatePlanName, c.planLines[static_cast<std::size_t>(plans[1])], plans[1],
         "plan name " + Quote(name) + " is used by plans " + list +
             ": they are told apart only by their position");
  }
  for (std::size_t k = 0; k < cat.PlanCount(); ++k) {
    const PlanRange r = cat.Range(static_cast<int>(k));
    for (std::int32_t i = 0; i < r.count; ++i) {
      const std::size_t e = static_cast<std::size_t>(r.first + i);
      const LaunchEntry& entry = *cat.m_entries[e];
      if (entry.enabled == 0) {
        Warn(c, Kind::kStartsUnticked, c.entryLines[e], static_cast<int>(e),
             "line " + Num(static_cast<long long>(c.entryLines[e])) + ": entry " +
                 Num(static_cast<long long>(e)) + " of " + PlanLabel(c, static_cast<int>(k)) +
                 " starts unticked: until its row is ticked the plan never finishes launching, "
                 "so none of its programs is relaunched or watched for hangs");
      }
      if (entry.countdown > 0) continue;
      Warn(c, Kind::kNeverLaunched, c.entryLines[e], static_cast<int>(e),
           "line " + Num(static_cast<long long>(c.entryLines[e])) + ": entry " +
               Num(static_cast<long long>(e)) + " of " + PlanLabel(c, static_cast<int>(k)) +
               " has delay " + Num(entry.delaySeconds) +
               ": it is never launched, so the plan never leaves its launch phase (no relaunch, "
               "no hang detection)");
    }
  }
}

}  // namespace

ListCheck CheckLaunchList(std::string_view fileBytes) {
  ListCheck c;
  c.fileSize = fileBytes.size();
  LaunchListText text = DecodeLaunchList(fileBytes);
  c.textSize = text.gbk.size();
  c.replaced = std::move(text.replaced);
  std::vector<ListRecord> records;
  LaunchListEvents events;
  events.onSurplus = [&c](const SurplusLine& s) {
    c.surplus.push_back(SurplusRecord{s, static_cast<int>(c.catalogue.m_entries.size()), 0});
  };
  events.onRecord = [&records](const ListRecord& r) { records.push_back(r); };
  c.report = ReadLaunchListData(text.gbk, c.header, c.catalogue, events);
  c.report.encoding = text.note;

  // The same data the reader saw, appended line break included.
  std::string& d = text.gbk;
  if (c.report.appendedLineBreak) d += "\r\n";
  const LineIndex lines(d);
  for (const ListRecord& r : records) {
    if (r.kind == ListRecord::Kind::kPlan) {
      std::size_t p = r.begin;
      while (p < r.end && IsBlankOrTab(d[p])) ++p;
      c.planLines.push_back(lines.LineOf(p));
    } else if (r.kind == ListRecord::Kind::kEntry) {
      c.entryLines.push_back(lines.LineOf(FirstTextByte(d, r.begin, r.end)));
    }
  }
  for (SurplusRecord& s : c.surplus) s.line = c.entryLines[static_cast<std::size_t>(s.entry)];
  AddWarnings(c, d, lines, records);
  return c;
}

void AddMissingPathWarnings(ListCheck& c,
                            const std::function<PathKind(const std::string&)>& probe) {
  const Catalogue& cat = c.catalogue;
  for (std::size_t k = 0; k < cat.PlanCount(); ++k) {
    const PlanRange r = cat.Range(static_cast<int>(k));
    for (std::int32_t i = 0; i < r.count; ++i) {
      const std::size_t e = static_cast<std::size_t>(r.first + i);
      const LaunchEntry& entry = *cat.m_entries[e];
      if (entry.countdown <= 0) continue;  // never launched: warned about already
      const std::string where = "line " + Num(static_cast<long long>(c.entryLines[e])) + ": ";
      const std::string of = " of entry " + Num(static_cast<long long>(e)) + " (" +
                             PlanLabel(c, static_cast<int>(k)) + ")";
      const PathKind program = probe(entry.programPath);
      if (program != PathKind::kFile) {
        Warn(c, ListWarning::Kind::kMissingPath, c.entryLines[e], static_cast<int>(e),
             where + "program " + Quote(entry.programPath) + of +
                 (program == PathKind::kMissing ? " does not exist on this machine"
                                                : " is a folder, not a program file") +
                 ": the launcher cannot start it and, once the plan supervises, tries again "
                 "every second, for ever, without a message");
      }
      // An empty directory is the launcher's own current directory.
      if (entry.runDirectory.empty()) continue;
      const PathKind directory = probe(entry.runDirectory);
      if (directory != PathKind::kDirectory) {
        Warn(c, ListWarning::Kind::kMissingPath, c.entryLines[e], static_cast<int>(e),
             where + "run directory " + Quote(entry.runDirectory) + of +
                 (directory == PathKind::kMissing ? " does not exist on this machine"
                                                  : " is a file, not a folder") +
                 ": the program cannot start there, and once the plan supervises the launcher "
                 "tries again every second, for ever, without a message");
      }
    }
  }
}

std::string EscapeListText(std::string_view text, bool forPeople) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const unsigned char b = static_cast<unsigned char>(ch);
    if (forPeople && i + 1 < text.size() && IsGbkLead(ch) && IsGbkTrail(text[i + 1])) {
      out += ch;
      out += text[++i];
      continue;
    }
    switch (ch) {
      case '\\':
        out += forPeople ? "\\" : "\\\\";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      default:
        break;
    }
    if (b < 0x20 || b >= 0x7F) {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

const char* ListEncodingName(ListEncoding encoding) {
  switch (encoding) {
    case ListEncoding::kGbk: return "GBK";
    case ListEncoding::kUtf8Bom: return "UTF-8 with a byte-order mark";
    case ListEncoding::kUtf16Le: return "UTF-16 LE with a byte-order mark";
    case ListEncoding::kUtf16Be: return "UTF-16 BE with a byte-order mark";
  }
  return "?";
}

std::string FormatListDump(const ListCheck& c) {
  std::string out;
  auto line = [&out](std::initializer_list<std::string> fields) {
    bool first = true;
    for (const std::string& f : fields) {
      if (!first) out += '\t';
      out += f;
      first = false;
    }
    out += '\n';
  };
  static const char* const kEncodings[] = {"gbk", "utf-8-bom", "utf-16le-bom", "utf-16be-bom"};
  line({"encoding", kEncodings[static_cast<int>(c.report.encoding.encoding)]});
  line({"title", EscapeListText(c.header.windowTitle)});
  line({"port", Num(c.header.port)});
  line({"bind", EscapeListText(c.header.bindAddress)});
  for (const SurplusRecord& s : c.surplus) {
    line({"surplus", EscapeListText(s.message.field1), EscapeListText(s.message.field2),
          EscapeListText(s.message.field3), EscapeListText(s.message.field5),
          EscapeListText(s.message.surplus)});
  }
  const Catalogue& cat = c.catalogue;
  line({"entries", Num(static_cast<long long>(cat.m_entries.size()))});
  for (std::size_t i = 0; i < cat.m_entries.size(); ++i) {
    const LaunchEntry& e = *cat.m_entries[i];
    line({"entry", Num(static_cast<long long>(i)), Num(e.enabled), Num(e.delaySeconds),
          EscapeListText(e.programPath), EscapeListText(e.runDirectory),
          EscapeListText(e.commandLine)});
  }
  line({"plans", Num(static_cast<long long>(cat.PlanCount()))});
  for (std::size_t k = 0; k < cat.PlanCount(); ++k) {
    const PlanRange r = cat.Range(static_cast<int>(k));
    line({"plan", Num(static_cast<long long>(k)), Num(r.first), Num(r.count),
          EscapeListText(cat.m_planNames[k])});
  }
  return out;
}

namespace {

void AppendEntry(std::string& out, const ListCheck& c, std::size_t i) {
  const LaunchEntry& e = *c.catalogue.m_entries[i];
  out += "  entry " + Num(static_cast<long long>(i)) + ", line " +
         Num(static_cast<long long>(c.entryLines[i])) + ": " +
         (e.enabled ? "[x] enabled" : "[ ] disabled") + " (" + Num(e.enabled) + "), delay " +
         Num(e.delaySeconds) + " s\n";
  out += "      program:      " + Quote(e.programPath) + "\n";
  out += "      directory:    " + Quote(e.runDirectory) + "\n";
  out += "      command line: " + Quote(e.commandLine) + "\n";
}

}  // namespace

std::string FormatListReport(const ListCheck& c, const std::string& fileName) {
  const Catalogue& cat = c.catalogue;
  std::string out = "Launch list " + fileName + ": " + Num(static_cast<long long>(c.fileSize)) +
                    " bytes of " + ListEncodingName(c.report.encoding.encoding);
  if (c.report.encoding.encoding != ListEncoding::kGbk) {
    out += ", read as " + Num(static_cast<long long>(c.textSize)) + " bytes of GBK";
  } else if (c.report.encoding.utf8WithoutMark) {
    out += " (though they look like UTF-8 without a byte-order mark)";
  }
  if (c.report.appendedLineBreak) out += " (no line break at the end: CR LF appended)";
  out += "\n\nHeader (settings from their defaults, no command line):\n";
  out += "  title: " +
         (c.header.windowTitle.empty() ? std::string("(none: the dialog keeps its caption)")
                                         : Quote(c.header.windowTitle)) +
         "\n";
  out += "  port:  " + Num(c.header.port) + "\n";
  out += "  bind:  " +
         (c.header.bindAddress.empty() ? std::string("(all local addresses)")
                                         : Quote(c.header.bindAddress)) +
         "\n";

  const std::size_t firstPlanEntry =
      cat.PlanCount() ? static_cast<std::size_t>(cat.Range(0).first) : cat.m_entries.size();
  out += "\n" + Num(static_cast<long long>(cat.PlanCount())) + " plan(s), " +
         Num(static_cast<long long>(cat.m_entries.size())) + " entries\n";
  if (firstPlanEntry) {
    out += "\nBefore the first plan (never shown, never launched):\n";
    for (std::size_t i = 0; i < firstPlanEntry; ++i) AppendEntry(out, c, i);
  }
  for (std::size_t k = 0; k < cat.PlanCount(); ++k) {
    const PlanRange r = cat.Range(static_cast<int>(k));
    out += "\nPlan " + Num(static_cast<long long>(k)) + " " + Quote(cat.m_planNames[k]) +
           " (line " + Num(static_cast<long long>(c.planLines[k])) + "): " + Num(r.count) +
           (r.count == 1 ? " entry\n" : " entries\n");
    for (std::int32_t i = 0; i < r.count; ++i)
      AppendEntry(out, c, static_cast<std::size_t>(r.first + i));
  }

  if (!c.surplus.empty()) {
    out += "\nSurplus (the launcher shows one message box each, then uses the line anyway):\n";
    for (const SurplusRecord& s : c.surplus) {
      out += "  line " + Num(static_cast<long long>(s.line)) + ", entry " + Num(s.entry) +
             ": fields " + Quote(s.message.field1) + " " + Quote(s.message.field2) + " " +
             Quote(s.message.field3) + " " + Quote(s.message.field5) + ", surplus " +
             Quote(s.message.surplus) + "\n";
    }
  }

  out += "\nReading ";
  switch (c.report.stop) {
    case ListStop::kEmpty:
      out += "found an empty file: nothing to read.\n";
      break;
    case ListStop::kEndOfData:
      out += "went through to the end of the data.\n";
      break;
    case ListStop::kShortTail:
    case ListStop::kTwoEmptyLines:
    case ListStop::kTruncated: {
      const std::size_t stopAt = std::min(c.report.stopOffset, c.textSize);
      out +=
          "stopped at byte " + Num(static_cast<long long>(c.report.stopOffset)) + " of " +
          Num(static_cast<long long>(c.report.dataSize)) +
          (c.report.stop == ListStop::kShortTail
               ? " (fewer than six bytes left after a program line)"
           : c.report.stop == ListStop::kTwoEmptyLines ? " (two empty lines after a program line)"
                                                       : " (the data end inside a line)") +
          "; " + Num(static_cast<long long>(c.textSize - stopAt)) +
          " byte(s) of the file left unread.\n";
      break;
    }
  }

  if (c.warnings.empty()) {
    out += "\nNo warnings.\n";
  } else {
    out += "\n" + Num(static_cast<long long>(c.warnings.size())) + " warning(s):\n";
    for (const ListWarning& w : c.warnings) out += "  warning: " + w.text + "\n";
  }
  return out;
}

ListCheckCommand ParseListCheckArguments(const std::vector<std::u16string>& args) {
  ListCheckCommand command;
  if (args.size() == 1 && (args[0] == u"--version" || args[0] == u"--help")) {
    command.action = args[0] == u"--help" ? ListCheckCommand::Action::kHelp : ListCheckCommand::Action::kVersion;
    return command;
  }
  if (args.size() == 2 && args[0] == u"--dump") {
    command.action = ListCheckCommand::Action::kDump;
  } else if (args.size() == 1) {
    command.action = ListCheckCommand::Action::kReport;
  } else {
    return command;
  }
  command.path = args.back();
  return command;
}

int ListCheckReportStatus(const ListCheck& check) { return check.warnings.empty() ? 0 : 1; }
