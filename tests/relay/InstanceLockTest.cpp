#include "relay/InstanceLock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempFolder.h"

namespace relaybox {
namespace {

TEST(InstanceLockTest, OneRelayPerFolderUntilItEnds) {
  const TTempFolder locks, folder, other;
  auto first = std::make_unique<TInstanceLock>(folder.Path(), locks.Path());
  EXPECT_TRUE(first->Acquired());
  EXPECT_FALSE(TInstanceLock(folder.Path(), locks.Path()).Acquired());
  EXPECT_FALSE(TInstanceLock(folder.Path() + "./", locks.Path()).Acquired());
  EXPECT_TRUE(TInstanceLock(other.Path(), locks.Path()).Acquired());
  first.reset();
  EXPECT_TRUE(TInstanceLock(folder.Path(), locks.Path()).Acquired());
}

TEST(InstanceLockTest, CleaningOrRecreatingTheFolderLetsNoSecondRelayIn) {
  const TTempFolder locks, parent;
  const std::string folder = parent.Path() + "Quintel/Hoofline/Relaybox/";
  const TInstanceLock first(folder, locks.Path());
  ASSERT_TRUE(first.Acquired());
  EXPECT_FALSE(first.Path().starts_with(folder));
  std::filesystem::remove_all(parent.Path() + "Quintel");
  EXPECT_FALSE(TInstanceLock(folder, locks.Path()).Acquired());
}

TEST(InstanceLockTest, ALockFileLeftBehindStopsNobody) {
  const TTempFolder locks, folder;
  std::string path;
  {
    const TInstanceLock crashed(folder.Path(), locks.Path());
    path = crashed.Path();
  }
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(TInstanceLock(folder.Path(), locks.Path()).Acquired());
}

} // namespace
} // namespace relaybox
