// listcheck: reads a launch list exactly as the launcher does (settings from
// their defaults, no command line) and shows what it holds.
//   listcheck FILE          report for people, with warnings about the traps
//   listcheck --dump FILE   exact machine form (LF line ends, TAB-separated)
// Exit status: 0 when the file was read, 2 when it could not be, or on a
// usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "catalogue/launch_list.h"
#include "catalogue/list_check.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

int Usage() {
  std::fputs("usage: listcheck [--dump] FILE\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The dump's line ends must stay LF and GBK bytes must pass unchanged.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  bool dump = false;
  const char* path = nullptr;
  if (argc == 2) {
    path = argv[1];
  } else if (argc == 3 && std::strcmp(argv[1], "--dump") == 0) {
    dump = true;
    path = argv[2];
  } else {
    return Usage();
  }

  std::string bytes, error;
  if (!ReadFileBytes(path, bytes, &error)) {
    std::fprintf(stderr, "listcheck: cannot read %s: %s\n", path, error.c_str());
    return 2;
  }
  const ListCheck check = CheckLaunchList(bytes);
  const std::string out = dump ? FormatListDump(check) : FormatListReport(check, path);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 2;
}
