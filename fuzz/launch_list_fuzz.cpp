// Feeds arbitrary bytes to the launch list's decoding, reader and checker and
// checks what must hold for every input: the checker reads the decoded text
// exactly as the reader does, the catalogue's ranges tile its entries, every
// command line begins with a blank, and the dump is plain printable text with
// one line per record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/encoding.h"
#include "catalogue/launch_list.h"
#include "catalogue/list_check.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckCatalogue(const Catalogue& c) {
  const std::size_t plans = c.PlanCount();
  Require(c.m_planRanges.size() == 2 * plans);
  Require(c.m_planRunning.size() == plans && c.m_planLaunched.size() == plans);
  std::size_t next = plans ? static_cast<std::size_t>(c.Range(0).first) : c.m_entries.size();
  for (std::size_t k = 0; k < plans; ++k) {
    const PlanRange r = c.Range(static_cast<int>(k));
    Require(r.first >= 0 && r.count >= 0 && static_cast<std::size_t>(r.first) == next);
    next += static_cast<std::size_t>(r.count);
    Require(c.m_planRunning[k] == 0 && c.m_planLaunched[k] == 0);
  }
  Require(next == c.m_entries.size());
  for (const auto& e : c.m_entries) {
    Require(!e->commandLine.empty() && e->commandLine[0] == ' ');
    Require(e->countdown ==
            static_cast<std::int32_t>(static_cast<std::uint32_t>(e->delaySeconds) + 1u));
  }
}

// How a file's bytes are taken: as they are, or (after a UTF-8 or UTF-16
// mark) as GBK text whose every replaced character is a '?' on an existing line.
void CheckDecoding(std::string_view file, const LaunchListText& text) {
  Require(text.note.replacedCharacters == text.replaced.size());
  const auto marked = [file](std::string_view mark) { return file.substr(0, mark.size()) == mark; };
  const ListEncoding expected = marked(kUtf8Bom)      ? ListEncoding::kUtf8Bom
                                : marked(kUtf16LeBom) ? ListEncoding::kUtf16Le
                                : marked(kUtf16BeBom) ? ListEncoding::kUtf16Be
                                                      : ListEncoding::kGbk;
  Require(text.note.encoding == expected);
  if (expected == ListEncoding::kGbk) {
    Require(text.gbk == file && text.replaced.empty());
    return;
  }
  Require(!text.note.utf8WithoutMark);
  std::size_t marks = 0, lines = 1;
  for (const char ch : text.gbk) {
    marks += ch == '?';
    lines += ch == '\n';
  }
  Require(text.replaced.size() <= marks);
  for (const ReplacedCharacter& r : text.replaced) Require(r.line >= 1 && r.line <= lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t fileSize) {
  const std::string_view file(reinterpret_cast<const char*>(data), fileSize);
  const LaunchListText text = DecodeLaunchList(file);
  CheckDecoding(file, text);
  const std::string_view bytes = text.gbk;
  const std::size_t size = bytes.size();

  ListHeader header;
  Catalogue catalogue;
  std::size_t surplus = 0;
  LaunchListEvents events;
  events.onSurplus = [&surplus](const SurplusLine&) { ++surplus; };
  const LaunchListReport report = ReadLaunchListData(bytes, header, catalogue, events);
  const bool appended = size > 0 && bytes.back() != '\n';
  Require(report.appendedLineBreak == appended);
  Require(report.dataSize == (size ? size + (appended ? 2 : 0) : 0));
  Require(report.stopOffset <= report.dataSize);
  CheckCatalogue(catalogue);

  const ListCheck check = CheckLaunchList(file);
  Require(check.textSize == size && check.fileSize == file.size());
  Require(check.report.encoding.encoding == text.note.encoding);
  Require(check.catalogue.m_entries.size() == catalogue.m_entries.size());
  Require(check.catalogue.m_planNames == catalogue.m_planNames);
  Require(check.surplus.size() == surplus);
  Require(check.entryLines.size() == catalogue.m_entries.size());
  Require(check.planLines.size() == catalogue.PlanCount());

  const std::string dump = FormatListDump(check);
  std::size_t lines = 0;
  for (const char ch : dump) {
    const unsigned char b = static_cast<unsigned char>(ch);
    Require(ch == '\n' || ch == '\t' || (b >= 0x20 && b < 0x7F));
    lines += ch == '\n';
  }
  Require(lines == 6 + surplus + catalogue.m_entries.size() + catalogue.PlanCount());
  Require(!FormatListReport(check, "fuzz.list").empty());
  return 0;
}
