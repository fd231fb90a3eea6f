// listcheck: reads a launch list exactly as the launcher does (settings from
// their defaults, no command line) and shows what it holds.
//   listcheck FILE          report for people, with warnings about the traps
//   listcheck --dump FILE   exact machine form (LF line ends, TAB-separated)
// On Windows the report also warns about program files and run directories
// that do not exist on this machine (relative paths from the current
// directory): the launcher would try them every second.
// Exit status: 0 when the file was read, 2 when it could not be, or on a
// usage error.
//
// Everything here is GBK, like the launcher's texts. On Windows the arguments
// are taken as UTF-16 and converted to GBK, so a path with Chinese characters
// typed on a machine of any code page reaches the reader as GBK; a report or
// error for a console is written as UTF-16, so the operator reads the Chinese
// whatever the console's code page. Redirected output, and the dump always,
// are the GBK bytes themselves.
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

int Usage() {
  WriteText(stderr, "usage: listcheck [--dump] FILE\n");
  return 2;
}

// The arguments as GBK. On Windows they come from the UTF-16 command line;
// `lossy` tells which of them held characters without a GBK form (now '?').
std::vector<std::string> GbkArguments(int argc, char** argv, std::vector<bool>& lossy) {
  std::vector<std::string> args;
#ifdef _WIN32
  std::vector<std::u16string> wide;
  if (CommandLineArguments(wide)) {
    for (const std::u16string& arg : wide) {
      bool replaced = false;
      args.push_back(Utf16ToGbk(arg, &replaced));
      lossy.push_back(replaced);
    }
    return args;
  }
#endif
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
    lossy.push_back(false);
  }
  return args;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The dump's line ends must stay LF and GBK bytes must pass unchanged.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::vector<bool> lossy;
  const std::vector<std::string> args = GbkArguments(argc, argv, lossy);
  bool dump = false;
  std::size_t pathArg = 0;
  if (args.size() == 1) {
    pathArg = 0;
  } else if (args.size() == 2 && args[0] == "--dump") {
    dump = true;
    pathArg = 1;
  } else {
    return Usage();
  }
  const std::string& path = args[pathArg];

  if (lossy[pathArg]) {
    WriteText(stderr, "listcheck: cannot read " + path +
                          ": the path has characters without a GBK form (shown as ?), so the "
                          "launcher cannot name this file either\n");
    return 2;
  }
  std::string bytes, error;
  if (!ReadFileBytes(path, bytes, &error)) {
    WriteText(stderr, "listcheck: cannot read " + path + ": " + error + "\n");
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
  return WriteText(stdout, FormatListReport(check, path)) ? 0 : 2;
}
