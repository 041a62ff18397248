#include "relay/InstanceLock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

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
  // Two relays starting together where only the lock files meet (the folder cannot be locked:
  // here it is not there yet): the first has taken its runtime lock, not yet its cache lock.
  const TTempFolder runtime, cache, parent;
  const std::string folder = parent.Path() + "not-yet/";
  const TInstanceLock first(folder, {runtime.Path()});
  const TInstanceLock second(folder, {cache.Path(), runtime.Path()});
  EXPECT_FALSE(second.Acquired());
  EXPECT_TRUE(TInstanceLock(folder, {cache.Path()}).Acquired()) << "the first could not finish";
}

TEST(InstanceLockTest, ALockFolderThatFailedAtStartIsTakenOnceItWorks) {
  // The cache folder is a file when the relay starts, and is mended while it runs.
  const TTempFolder runtime, home, parent;
  const std::string folder = parent.Path() + "watch/", cache = home.Path() + ".cache/relaybox/";
  std::filesystem::create_directory(folder);
  home.Write(".cache", "");
  TInstanceLock first(folder, {runtime.Path(), cache});
  ASSERT_TRUE(first.Acquired());
  std::filesystem::remove(home.Path() + ".cache");
  EXPECT_EQ(first.Keep(), "");
  // A relay that has no runtime folder meets the first in the cache folder, also once the
  // watch folder is cleaned away and the folder itself no longer holds them apart.
  std::filesystem::remove_all(folder);
  EXPECT_FALSE(TInstanceLock(folder, {cache}).Acquired());
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

TEST(InstanceLockTest, WithoutALockFolderNothingIsLocked) {
  const TTempFolder locks, folder;
  const struct {
    std::vector<std::string> LockFolders;
    bool Acquired;
    std::string Failure;
  } cases[] = {
      {{"/proc/no-such-folder/"}, false, "no lock file can be made in /proc/no-such-folder/ (No such file or directory)"},
      {{"/proc/no-such-folder/", locks.Path()}, true, ""},
  };
  for (const auto& c : cases) {
    const TInstanceLock lock(folder.Path(), c.LockFolders);
    EXPECT_EQ(lock.Acquired(), c.Acquired) << c.Failure;
    EXPECT_EQ(lock.Failure(), c.Failure);
  }
}

// Lock files keep their names from one version to the next: a relay of the version before must
// keep this one off, and the journal is named the same way.
TEST(InstanceLockTest, ThePathLockIsNamedAfterTheCanonicalPath) {
  const TTempFolder locks;
  for (const char* folder : {"/", "/tmp/../", "/.//"}) {
    const TInstanceLock lock(folder, std::vector<std::string>{locks.Path()});
    ASSERT_TRUE(lock.Acquired()) << folder;
    EXPECT_EQ(lock.Paths().at(0), locks.Path() + "watch-af63a24c860189fe.lock") << folder;
  }
}

// What the path leads to stays this relay's while it runs: the folder itself, however it is
// reached, and the one put in its place.
TEST(InstanceLockTest, TheFolderAtThePathIsKeptOffOtherRelays) {
  struct TScene {
    TTempFolder Locks, Parent;
    TTempFolder OwnLocks;  // a second relay's that shares no lock folder (another HOME)
    std::unique_ptr<TInstanceLock> Other;  // another relay
    std::unique_ptr<TInstanceLock> Lock(const char* name, bool apart = false) const {
      return std::make_unique<TInstanceLock>(Parent.Path() + name + "/",
                                             std::vector<std::string>{(apart ? OwnLocks : Locks).Path()});
    }
    void Move(const char* from, const char* to) const {
      std::filesystem::rename(Parent.Path() + from, Parent.Path() + to);
    }
  };
  constexpr char Held[] = "another relay holds the watch folder";
  const struct {
    const char* Name;
    void (*Change)(TScene&);
    const char* KeepSays;  // the running relay's next check; nullptr: none yet
    const char* SecondAt;  // where a second relay then starts; nullptr: none
    bool SecondStarts;
    bool Apart = false;  // the second relay keeps its locks in another lock folder
  } cases[] = {
      {"as it is, a relay with its own lock folders", [](TScene&) {}, nullptr, "watch", false, true},
      {"through a link, a relay with its own lock folders", [](TScene& s) {
         std::filesystem::create_directory_symlink(s.Parent.Path() + "watch", s.Parent.Path() + "link");
       }, nullptr, "link", false, true},
      {"moved away", [](TScene& s) { s.Move("watch", "moved"); }, nullptr, "moved", false},
      {"moved away, a relay with its own lock folders", [](TScene& s) { s.Move("watch", "moved"); }, nullptr,
       "moved", false, true},
      {"replaced", [](TScene& s) {
         s.Move("watch", "moved");
         std::filesystem::create_directory(s.Parent.Path() + "watch");
       }, "", "moved", true},
      {"replaced, the old folder let go to a relay with its own lock folders", [](TScene& s) {
         s.Move("watch", "moved");
         std::filesystem::create_directory(s.Parent.Path() + "watch");
       }, "", "moved", true, true},
      {"replaced, the new folder kept from a relay with its own lock folders", [](TScene& s) {
         s.Move("watch", "moved");
         std::filesystem::create_directory(s.Parent.Path() + "watch");
       }, "", "watch", false, true},
      {"replaced by a folder another relay holds", [](TScene& s) {
         std::filesystem::create_directory(s.Parent.Path() + "other");
         s.Other = s.Lock("other");
         s.Move("watch", "moved");
         s.Move("other", "watch");
       }, Held, nullptr, false},
      {"lock files deleted", [](TScene& s) { std::filesystem::remove_all(s.Locks.Path()); }, "", "watch", false},
      {"lock files deleted, a second relay started before the next check",
       [](TScene& s) { std::filesystem::remove_all(s.Locks.Path()); }, nullptr, "watch", false},
  };
  for (const auto& c : cases) {
    TScene scene;
    std::filesystem::create_directory(scene.Parent.Path() + "watch");
    const auto first = scene.Lock("watch");
    ASSERT_TRUE(first->Acquired()) << c.Name;
    c.Change(scene);
    if (c.KeepSays != nullptr) {
      EXPECT_EQ(first->Keep(), c.KeepSays) << c.Name;
    }
    if (c.SecondAt != nullptr) {
      EXPECT_EQ(scene.Lock(c.SecondAt, c.Apart)->Acquired(), c.SecondStarts) << c.Name;
    }
    // Once the other relay ends, the folder is this one's again.
    scene.Other.reset();
    EXPECT_EQ(first->Keep(), "") << c.Name;
    EXPECT_FALSE(scene.Lock("watch")->Acquired()) << c.Name;
    // A relay that shares no lock folder meets this one on the folder itself, where there is one.
    if (std::filesystem::is_directory(scene.Parent.Path() + "watch")) {
      EXPECT_FALSE(scene.Lock("watch", true)->Acquired()) << c.Name;
    }
  }
}

} // namespace
} // namespace relaybox
