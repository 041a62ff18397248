#include "relay/UpdateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TempFolder.h"

namespace relaybox {
namespace {

TEST(UpdateFileTest, RefusedWhileHeldOpenForWriting) {
  TTempFolder folder;
  if (!folder.LeasesWork()) GTEST_SKIP() << "no file leases on this file system";
  const std::string path = folder.Path() + "C000001.txt";
  folder.Write("C000001.txt", "site\n");
  const int writer = ::open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  TUpdateFile file;
  EXPECT_FALSE(file.Open(folder.Path() + "missing.txt"));
  EXPECT_FALSE(file.Open(path));
  EXPECT_FALSE(file.IsOpen());
  ::close(writer);
  ASSERT_TRUE(file.Open(path));
  EXPECT_EQ(file.ReadLine(), u"site");
  EXPECT_TRUE(file.Eof());
  // The lease is released on close, so a writer is not held up afterwards.
  file.Close();
  const int again = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_GE(again, 0);
  if (again >= 0) ::close(again);
}

} // namespace
} // namespace relaybox
