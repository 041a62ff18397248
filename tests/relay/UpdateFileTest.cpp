#include "relay/UpdateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "TempFolder.h"

namespace relaybox {
namespace {

TEST(UpdateFileTest, OnlyRegularFilesThatNobodyWritesAreOpened) {
  TTempFolder folder;
  const std::string dir = folder.Path();
  folder.Write("plain", "site\n");
  ::mkfifo((dir + "fifo").c_str(), 0600);
  std::filesystem::create_symlink("/dev/zero", dir + "zero");
  std::filesystem::create_symlink(dir + "nothing", dir + "dangling");
  std::filesystem::create_symlink(dir + "loop", dir + "loop");
  std::filesystem::create_directory(dir + "folder");
  const struct {
    const char* Name;
    TUpdateFile::TOpenResult Result;
    int Error;
  } cases[] = {
      {"plain", TUpdateFile::Opened, 0},          {"missing", TUpdateFile::Vanished, 0},
      {"fifo", TUpdateFile::NotRegular, 0},       {"zero", TUpdateFile::NotRegular, 0},
      {"folder", TUpdateFile::NotRegular, 0},     {"dangling", TUpdateFile::Unreadable, ENOENT},
      {"loop", TUpdateFile::Unreadable, ELOOP},
  };
  for (const auto& c : cases) {
    TUpdateFile file;
    EXPECT_EQ(file.Open(dir + c.Name), c.Result) << c.Name;
    EXPECT_EQ(file.IsOpen(), c.Result == TUpdateFile::Opened) << c.Name;
    if (c.Error != 0) {
      EXPECT_EQ(file.Error(), c.Error) << c.Name;
    }
  }
}

TEST(UpdateFileTest, KnowsWhenItsNameWasTakenOverWhileOpen) {
  TTempFolder folder;
  folder.Write("C000001.txt", "old\n");
  folder.Write("next", "new\n");
  TUpdateFile file;
  ASSERT_EQ(file.Open(folder.Path() + "C000001.txt"), TUpdateFile::Opened);
  EXPECT_TRUE(file.IsStillAt(folder.Path() + "C000001.txt"));
  std::filesystem::rename(folder.Path() + "next", folder.Path() + "C000001.txt");
  EXPECT_FALSE(file.IsStillAt(folder.Path() + "C000001.txt"));
}

TEST(UpdateFileTest, RefusedWhileHeldOpenForWritingOrLeased) {
  TTempFolder folder;
  if (!folder.LeasesWork()) GTEST_SKIP() << "no file leases on this file system";
  const std::string path = folder.Path() + "C000001.txt";
  folder.Write("C000001.txt", "site\n");
  // A writer, and a write lease (the open breaks it, which takes a while).
  for (const bool lease : {false, true}) {
    SCOPED_TRACE(lease);
    const int holder = ::open(path.c_str(), lease ? O_RDONLY : O_WRONLY | O_APPEND);
    ASSERT_GE(holder, 0);
    if (lease) {
      ASSERT_EQ(::fcntl(holder, F_SETLEASE, F_WRLCK), 0);
    }
    TUpdateFile file;
    EXPECT_EQ(file.Open(path), TUpdateFile::BeingWritten);
    EXPECT_FALSE(file.IsOpen());
    ::close(holder);
    ASSERT_EQ(file.Open(path), TUpdateFile::Opened);
    EXPECT_EQ(file.ReadLine(), u"site");
    EXPECT_TRUE(file.Eof());
    // The lease is released on close, so a writer is not held up afterwards.
    file.Close();
    const int again = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_GE(again, 0);
    if (again >= 0) ::close(again);
  }
}

} // namespace
} // namespace relaybox
