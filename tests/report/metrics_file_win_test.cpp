// The metrics file is replaced whole, on Windows' own file calls.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "report/metrics.h"

namespace {
std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
}  // namespace

TEST(MetricsFile, IsReplacedWholeAndAFailedWriteLeavesTheOldFileAndNoTemporary) {
  // 指标 in the folder's name: the path is GBK and opened wide.
  const std::string folder = "metrics-\xd6\xb8\xb1\xea";
  ::CreateDirectoryW(L"metrics-\u6307\u6807", nullptr);
  const std::string path = folder + "\\launcher.prom";
  ASSERT_EQ(ReplaceFileWhole(path, std::string(100000, 'a') + "\n"), 0u);
  ASSERT_EQ(ReplaceFileWhole(path, "b 1\n"), 0u);  // shorter: nothing of the old one stays
  EXPECT_EQ(Read("metrics-\xd6\xb8\xb1\xea\\launcher.prom"), "b 1\n");
  EXPECT_FALSE(Exists(path + ".tmp"));
  // A reader holding the file open without sharing delete: the move fails,
  // the old content stays whole, the temporary is gone.
  const HANDLE reader = ::CreateFileW(L"metrics-\u6307\u6807\\launcher.prom", GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_NE(ReplaceFileWhole(path, "c 1\n"), 0u);
  ::CloseHandle(reader);
  EXPECT_EQ(Read(path), "b 1\n");
  EXPECT_FALSE(Exists(path + ".tmp"));
  EXPECT_EQ(ReplaceFileWhole("no-such-folder\\x.prom", "d 1\n"), static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
}
