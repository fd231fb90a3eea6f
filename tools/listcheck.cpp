// listcheck: reads a launch list exactly as the launcher does (settings from
// their defaults, no command line) and shows what it holds.
//   listcheck FILE          report for people, with warnings about the traps
//   listcheck --dump FILE   exact machine form (LF line ends, TAB-separated)
//   listcheck --version     "listcheck 1.0.0+abc1234": the version (VERSION)
//                           and the commit it was built from
//   listcheck --help        the usage and the exit statuses
// On Windows the report also warns about program files and run directories
// that do not exist on this machine (relative paths from the current
// directory): the launcher would try them every second.
// Exit status: 0 when the file was read and the report has no warning, 1
// when it has any (the dump: 0 whenever the file was read), 2 when the file
// could not be read, or on a usage error.
//
// The texts are GBK, like the launcher's. On Windows the file's path is
// taken from the UTF-16 command line and opened as such, so any path the
// launcher's /f can name, this can read; a report or error for a console is
// written as UTF-16, so the operator reads the Chinese whatever the
// console's code page. Redirected output, and the dump always, are the GBK
// bytes themselves.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "text/encoding.h"
#include "catalogue/launch_list.h"
#include "catalogue/list_check.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "console_text.h"
#endif

namespace {


// The report and the error messages: through the console when there is one.
// Returns false when the bytes could not be written.
bool WriteText(std::FILE* stream, const std::string& gbk) {
#ifdef _WIN32
  if (WriteConsoleText(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, GbkToUtf16(gbk))) return true;
#endif
  std::fwrite(gbk.data(), 1, gbk.size(), stream);
  return std::fflush(stream) == 0;
}

#ifdef _WIN32
// What `path` (GBK) names, asked by its UTF-16 form like the launcher's own
// calls.
PathKind ProbePath(const std::string& path) {
  if (path.empty()) return PathKind::kMissing;
  const std::u16string wide = GbkToUtf16(path);
  const DWORD attributes = ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(wide.c_str()));
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kDirectory : PathKind::kFile;
}
#endif

constexpr char kUsage[] =
    "usage: listcheck [--dump] FILE | --version | --help\n"
    "exit status: 0 read, no warning; 1 read, with warnings; 2 not read, or a usage error\n";

int Usage() {
  WriteText(stderr, kUsage);
  return 2;
}

// The arguments as UTF-16: on Windows from the wide command line, split as
// the launcher splits its own, so a path reaches the file call as typed on a
// machine of any code page; elsewhere from argv's UTF-8.
std::vector<std::u16string> Arguments(int argc, char** argv) {
#ifdef _WIN32
  (void)argc, (void)argv;
  return CommandLineArguments();
#else
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8ToUtf16(argv[i]));
  return args;
#endif
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The dump's line ends must stay LF and GBK bytes must pass unchanged.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const ListCheckCommand command = ParseListCheckArguments(Arguments(argc, argv));
  if (command.action == ListCheckCommand::Action::kVersion) {
    return WriteText(stdout, "listcheck " MORVASTEL_VERSION "\n") ? 0 : 2;
  }
  if (command.action == ListCheckCommand::Action::kHelp) return WriteText(stdout, kUsage) ? 0 : 2;
  if (command.action == ListCheckCommand::Action::kUsage) return Usage();
  const bool dump = command.action == ListCheckCommand::Action::kDump;
  const std::u16string& path = command.path;
  // The report names the file in GBK: a character GBK lacks shows as '?'.
  const std::string name = Utf16ToGbk(path);
  std::string bytes, error;
  if (!ReadFileBytes(path, bytes, &error)) {
    WriteText(stderr, "listcheck: cannot read " + name + ": " + error + "\n");
    return 2;
  }
  ListCheck check = CheckLaunchList(bytes);
  if (dump) {
    const std::string out = FormatListDump(check);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
  }
#ifdef _WIN32
  AddMissingPathWarnings(check, &ProbePath);
#endif
  return WriteText(stdout, FormatListReport(check, name)) ? ListCheckReportStatus(check) : 2;
}
