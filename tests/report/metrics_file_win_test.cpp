// The metrics file and the journal's file calls on Windows' own calls: whole
// files, missing folders made, a folder that cannot be made reported.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "report/journal.h"
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
}

TEST(MetricsFile, MissingFoldersAreMadeAndAFileInTheWayIsAnError) {
  // 指标\新 under a folder that is not there yet.
  const std::string path = "metrics-made\\\xd6\xb8\xb1\xea\\\xd0\xc2\\m.prom";
  ::DeleteFileW(L"metrics-made\\\u6307\u6807\\\u65b0\\m.prom");
  for (const wchar_t* folder : {L"metrics-made\\\u6307\u6807\\\u65b0", L"metrics-made\\\u6307\u6807", L"metrics-made"}) {
    ::RemoveDirectoryW(folder);
  }
  ASSERT_EQ(ReplaceFileWhole(path, "a 1\n"), 0u);
  EXPECT_EQ(Read(path), "a 1\n");
  // A file where the folder should be: no file, and Windows' reason.
  std::ofstream("metrics-blocker", std::ios::binary) << "x";
  const std::uint32_t error = ReplaceFileWhole("metrics-blocker\\m.prom", "b 1\n");
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(Exists("metrics-blocker\\m.prom"));
  EXPECT_FALSE(Exists("metrics-blocker\\m.prom.tmp"));
}

TEST(JournalFiles, OpenMakesTheFolderAndTellsWhichNumberedFilesExist) {
  const auto files = MakeWindowsJournalFiles();
  const std::string path = "journal-made\\\xc8\xd5\xd6\xbe\\j.log";  // 日志
  ::DeleteFileW(L"journal-made\\\u65e5\u5fd7\\j.log");
  ::DeleteFileW(L"journal-made\\\u65e5\u5fd7\\j.log.1");
  ::RemoveDirectoryW(L"journal-made\\\u65e5\u5fd7");
  ::RemoveDirectoryW(L"journal-made");
  ASSERT_EQ(files->OpenAppend(path), 0u);
  ASSERT_EQ(files->Append("line\r\n"), 0u);
  EXPECT_EQ(files->Size(), 6);
  EXPECT_TRUE(files->Exists(path));
  EXPECT_FALSE(files->Exists(path + ".1"));
  EXPECT_FALSE(files->Exists("journal-no-such-folder\\j.log.1"));
  files->Close();
  EXPECT_EQ(files->Rename(path, path + ".1"), 0u);
  EXPECT_EQ(Read(path + ".1"), "line\r\n");
  EXPECT_NE(files->OpenAppend("metrics-blocker\\j.log"), 0u);  // a file where the folder should be
}
