#include "relay/InstanceLock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempFolder.h"

namespace relaybox {
namespace {

TEST(InstanceLockTest, OneRelayPerFolderUntilItEnds) {
  const TTempFolder locks, folder, other;
  auto first = std::make_unique<TInstanceLock>(folder.Path(), std::vector<std::string>{locks.Path()});
  EXPECT_TRUE(first->Acquired());
  EXPECT_FALSE(TInstanceLock(folder.Path(), std::vector<std::string>{locks.Path()}).Acquired());
  EXPECT_FALSE(TInstanceLock(folder.Path() + "./", std::vector<std::string>{locks.Path()}).Acquired());
  EXPECT_TRUE(TInstanceLock(other.Path(), std::vector<std::string>{locks.Path()}).Acquired());
  first.reset();
  EXPECT_TRUE(TInstanceLock(folder.Path(), std::vector<std::string>{locks.Path()}).Acquired());
}

TEST(InstanceLockTest, CleaningOrRecreatingTheFolderLetsNoSecondRelayIn) {
  const TTempFolder locks, parent;
  const std::string folder = parent.Path() + "Quintel/Hoofline/Relaybox/";
  const TInstanceLock first(folder, std::vector<std::string>{locks.Path()});
  ASSERT_TRUE(first.Acquired());
  EXPECT_FALSE(first.Paths().at(0).starts_with(folder));
  std::filesystem::remove_all(parent.Path() + "Quintel");
  EXPECT_FALSE(TInstanceLock(folder, std::vector<std::string>{locks.Path()}).Acquired());
}

TEST(InstanceLockTest, RelaysThatShareOneOfTheirLockFoldersExcludeEachOther) {
  // As a relay started in a desktop session (runtime and cache folder) and one started from
  // ssh or cron (cache folder only).
  const TTempFolder runtime, cache, folder;
  const TInstanceLock session(folder.Path(), {runtime.Path(), cache.Path()});
  ASSERT_TRUE(session.Acquired());
  EXPECT_FALSE(TInstanceLock(folder.Path(), {cache.Path()}).Acquired());
  EXPECT_FALSE(TInstanceLock(folder.Path(), {"/proc/no-such-folder/", cache.Path()}).Acquired());
}

TEST(InstanceLockTest, ARelayThatIsKeptOutHoldsNothing) {
  // Two relays starting together: the first has taken its runtime lock, not yet its cache lock.
  const TTempFolder runtime, cache, folder;
  const TInstanceLock first(folder.Path(), {runtime.Path()});
  const TInstanceLock second(folder.Path(), {runtime.Path(), cache.Path()});
  EXPECT_FALSE(second.Acquired());
  EXPECT_TRUE(TInstanceLock(folder.Path(), {cache.Path()}).Acquired()) << "the first could not finish";
}

TEST(InstanceLockTest, ALockFileLeftBehindStopsNobody) {
  const TTempFolder locks, folder;
  std::string path;
  {
    const TInstanceLock crashed(folder.Path(), std::vector<std::string>{locks.Path()});
    path = crashed.Paths().at(0);
  }
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(TInstanceLock(folder.Path(), std::vector<std::string>{locks.Path()}).Acquired());
}

} // namespace
} // namespace relaybox
