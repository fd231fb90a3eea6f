// The metrics file and the journal's file calls on Windows' own calls: whole
// files, missing folders made, a folder that cannot be made reported. The
// paths hold characters GBK lacks (ö, 한국): they reach Windows as the UTF-16
// they are. A file call that never returns is cancelled at the end.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "platform/disk_threads.h"
#include "platform/wide.h"
#include "report/file_writer.h"
#include "report/journal.h"
#include "report/metrics.h"

namespace {
std::string Read(const std::u16string& path) {
  std::string text;
  if (std::FILE* file = _wfopen(WidePath(path).c_str(), L"rb")) {
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, got);
    std::fclose(file);
  }
  return text;
}
bool Exists(const std::u16string& path) {
  return ::GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}
// 指标 J\u00f6rg 한국: Chinese, and characters without a GBK form.
const std::u16string kFolder = u"metrics-\u6307\u6807 J\u00f6rg \ud55c\uad6d";
}  // namespace

TEST(MetricsFile, IsReplacedWholeAndAFailedWriteLeavesTheOldFileAndNoTemporary) {
  ::CreateDirectoryW(WidePath(kFolder).c_str(), nullptr);
  const std::u16string path = kFolder + u"\\launcher.prom";
  ASSERT_EQ(ReplaceFileWhole(path, std::string(100000, 'a') + "\n"), 0u);
  ASSERT_EQ(ReplaceFileWhole(path, "b 1\n"), 0u);  // shorter: nothing of the old one stays
  EXPECT_EQ(Read(path), "b 1\n");
  EXPECT_FALSE(Exists(path + u".tmp"));
  // A reader holding the file open without sharing delete: the move fails,
  // the old content stays whole, the temporary is gone.
  const HANDLE reader =
      ::CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_NE(ReplaceFileWhole(path, "c 1\n"), 0u);
  ::CloseHandle(reader);
  EXPECT_EQ(Read(path), "b 1\n");
  EXPECT_FALSE(Exists(path + u".tmp"));
}

TEST(MetricsFile, MissingFoldersAreMadeAndAFileInTheWayIsAnError) {
  // 指标\新 under a folder that is not there yet.
  const std::u16string made = u"metrics-made \ud55c", path = made + u"\\\u6307\u6807\\\u65b0\\m.prom";
  ::DeleteFileW(WidePath(path).c_str());
  for (const std::u16string& folder : {made + u"\\\u6307\u6807\\\u65b0", made + u"\\\u6307\u6807", made}) {
    ::RemoveDirectoryW(WidePath(folder).c_str());
  }
  ASSERT_EQ(ReplaceFileWhole(path, "a 1\n"), 0u);
  EXPECT_EQ(Read(path), "a 1\n");
  // A file where the folder should be: no file, and Windows' reason.
  if (std::FILE* blocker = std::fopen("metrics-blocker", "wb")) std::fclose(blocker);
  const std::uint32_t error = ReplaceFileWhole(u"metrics-blocker\\m.prom", "b 1\n");
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(Exists(u"metrics-blocker\\m.prom"));
  EXPECT_FALSE(Exists(u"metrics-blocker\\m.prom.tmp"));
}

TEST(JournalFiles, OpenMakesTheFolderAndTellsWhichNumberedFilesExist) {
  const auto files = MakeWindowsJournalFiles();
  const std::u16string made = u"journal-made J\u00f6rg", path = made + u"\\\u65e5\u5fd7\\j.log";  // 日志
  ::DeleteFileW(WidePath(path).c_str());
  ::DeleteFileW(WidePath(path + u".1").c_str());
  ::RemoveDirectoryW(WidePath(made + u"\\\u65e5\u5fd7").c_str());
  ::RemoveDirectoryW(WidePath(made).c_str());
  ASSERT_EQ(files->OpenAppend(path), 0u);
  ASSERT_EQ(files->Append("line\r\n"), 0u);
  EXPECT_EQ(files->Size(), 6);
  EXPECT_TRUE(files->Exists(path));
  EXPECT_FALSE(files->Exists(path + u".1"));
  EXPECT_FALSE(files->Exists(u"journal-no-such-folder\\j.log.1"));
  files->Close();
  EXPECT_EQ(files->Rename(path, path + u".1"), 0u);
  EXPECT_EQ(Read(path + u".1"), "line\r\n");
  EXPECT_NE(files->OpenAppend(u"metrics-blocker\\j.log"), 0u);  // a file where the folder should be
}

// A writer stuck in a call that never returns (here a read of a pipe nobody
// writes, for a share that stopped answering) is left behind at its stop,
// and the end's cancel brings the call back, so the thread can end.
TEST(DiskThreads, ACallThatNeverReturnsIsCancelledAtTheEnd) {
  struct Stuck : FileWriter::Client {
    HANDLE file = nullptr;
    std::atomic<bool> entered{false}, back{false};
    std::atomic<DWORD> error{0};
    FileWriter::Clock::time_point Work(FileWriter::Clock::time_point, bool) override {
      if (entered.exchange(true)) return FileWriter::kIdle;
      char byte = 0;
      DWORD got = 0;
      if (!::ReadFile(file, &byte, 1, &got, nullptr)) error = ::GetLastError();
      back = true;
      return FileWriter::kIdle;
    }
  };
  HANDLE read = nullptr, write = nullptr;
  ASSERT_TRUE(::CreatePipe(&read, &write, nullptr, 0));
  auto stuck = std::make_shared<Stuck>();
  stuck->file = read;
  auto writer = std::make_unique<FileWriter>();
  ASSERT_TRUE(writer->Start());
  ASSERT_TRUE(writer->Post(&CountAsDiskThread));
  writer->Add(stuck);
  const auto until = [](const std::atomic<bool>& flag, int ms) {
    for (int i = 0; i < ms / 10 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return flag.load();
  };
  ASSERT_TRUE(until(stuck->entered, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // inside ReadFile by now
  EXPECT_FALSE(writer->Stop(FileWriter::Clock::now() + std::chrono::milliseconds(100)));
  EXPECT_FALSE(stuck->back);
  CancelDiskCalls();
  EXPECT_TRUE(until(stuck->back, 2000));
  EXPECT_EQ(stuck->error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  writer.reset();
  ::CloseHandle(write);
  ::CloseHandle(read);
}
