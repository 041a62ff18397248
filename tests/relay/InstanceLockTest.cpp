#include "relay/InstanceLock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempFolder.h"

namespace relaybox {
namespace {

TEST(InstanceLockTest, OneRelayPerFolderUntilItEnds) {
  const TTempFolder folder;
  const TTempFolder other;
  auto first = std::make_unique<TInstanceLock>(folder.Path());
  EXPECT_TRUE(first->Acquired());
  EXPECT_FALSE(TInstanceLock(folder.Path()).Acquired());
  EXPECT_TRUE(TInstanceLock(other.Path()).Acquired());
  first.reset();
  EXPECT_TRUE(TInstanceLock(folder.Path()).Acquired());
}

TEST(InstanceLockTest, ALockFileLeftBehindStopsNobodyAndAMissingFolderIsMade) {
  const TTempFolder parent;
  const std::string folder = parent.Path() + "Quintel/Hoofline/Relaybox/";
  EXPECT_TRUE(TInstanceLock(folder).Acquired());
  EXPECT_TRUE(std::filesystem::is_directory(folder));

  parent.Write(std::string("Quintel/Hoofline/Relaybox/") + TInstanceLock::FileName, "12345\n");
  EXPECT_TRUE(TInstanceLock(folder).Acquired());
}

} // namespace
} // namespace relaybox
