#include "relay/FolderListing.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "TempFolder.h"
#include "relay/FolderIndex.h"

namespace relaybox {
namespace {

TEST(FolderListingTest, PatternIgnoresLetterCase) {
  for (const char* name : {"C000001.txt", "c1.TXT", "C.txt", "Cx.Txt", "C.txt.txt"}) {
    EXPECT_TRUE(MatchesUpdatePattern(name)) << name;
  }
  for (const char* name : {"", ".txt", "Ctxt", "C000001.txt~", "D000001.txt", "C000001.tx", " C1.txt"}) {
    EXPECT_FALSE(MatchesUpdatePattern(name)) << name;
  }
}

TEST(FolderListingTest, ListsMatchingEntriesOfEveryKind) {
  TTempFolder folder;
  ASSERT_FALSE(folder.Path().empty());
  folder.Write("C000001.txt", "x");
  folder.Write(".C2.txt", "x");
  folder.Write("notes.txt", "x");
  std::filesystem::create_directory(folder.Path() + "c000003.TXT");
  std::set<std::pair<std::string, bool>> found;
  for (const TListedName& entry : ListUpdateFiles(folder.Path())) {
    EXPECT_EQ(TextToUtf8(entry.Name), entry.RawName);
    found.emplace(entry.RawName, entry.IsDirectory);
  }
  EXPECT_EQ(found, (std::set<std::pair<std::string, bool>>{{"C000001.txt", false}, {"c000003.TXT", true}}));
  EXPECT_TRUE(ListUpdateFiles(folder.Path() + "missing/").empty());
}

TEST(FolderListingTest, AWatchFolderIsUsableWhereFilesCanBeDeleted) {
  const TTempFolder watch;
  EXPECT_EQ(PrepareWatchFolder(watch.Path()), "");
  EXPECT_TRUE(std::filesystem::is_empty(watch.Path())) << "the trial file was left behind";
  // Another user's folder, or one whose modes forbid it.
  const int status = RunWithoutPrivileges(watch, 0555, [&watch] {
    return PrepareWatchFolder(watch.Path()) == "cannot delete files in the watch folder " + watch.Path() + ": Permission denied" ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
}

// After lost events nobody can tell who still writes a file the listing finds; a change to the
// folder's own attributes (it became readable again) has it listed anew.
TEST(FolderListingTest, TheIndexKnowsWhatLostEventsAndTheFolderItselfTell) {
  const TTempFolder folder;
  TFolderIndex index(folder.Path());
  TFolderWatch watch;
  ASSERT_EQ(watch.Start(folder.Path()), TFolderWatch::Watching);
  folder.Write("C000001.txt", "x");
  index.Relist();
  EXPECT_EQ(index.WriterOf("C000001.txt"), TFolderIndex::NoWriter);
  folder.Write("C000002.txt", "x");
  index.Apply({TFolderEvent::Overflowed, {}, false});
  index.Relist();
  EXPECT_EQ(index.WriterOf("C000001.txt"), TFolderIndex::Unknown);
  EXPECT_EQ(index.WriterOf("C000002.txt"), TFolderIndex::Unknown);
  index.Apply({TFolderEvent::Closed, "C000002.txt", false});
  EXPECT_EQ(index.WriterOf("C000002.txt"), TFolderIndex::NoWriter);
  ASSERT_EQ(::chmod(folder.Path().c_str(), 0700), 0);
  watch.Read([&index](const TFolderEvent& event) { index.Apply(event); });
  EXPECT_TRUE(index.NeedsListing());
}

} // namespace
} // namespace relaybox
