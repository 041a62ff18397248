#include "relay/Journal.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TempFolder.h"
#include "relay/JournalRecord.h"

namespace relaybox {
namespace {

UpdateEntry Entry(const Text& file, const Text& site = u"site", const Text& request = u"http://x/") {
  return {site, request, file};
}

std::string Read(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

std::vector<std::uint64_t> Ids(const std::vector<UpdateEntry>& entries) {
  std::vector<std::uint64_t> ids;
  for (const UpdateEntry& e : entries) ids.push_back(e.JournalId);
  return ids;
}

TEST(JournalTest, AnyTextComesBackExactly) {
  const TTempFolder folder;
  const Text odd[] = {
      u"", u"plain.txt", u"tab\there\\back\\slash\r\nnew line", u"\\t \\u0041 \\", Text(u"\0\x01\x1f\x7f\x85\x9f", 6),
      u"Zürich 東京 \U0001F600", u"\xD800 lone \xDC00 \xDBFF", u"\U0001F600\xD83D", Text(16384, u'a') + u"é",
  };
  TJournal journal(folder.Path() + "j");
  EXPECT_EQ(journal.Restore().Problem, "");
  for (const Text& text : odd) {
    UpdateEntry entry = Entry(text, text + u"!", u"http://h/" + text);
    EXPECT_EQ(journal.Taken(entry), "");
  }
  const auto restored = TJournal(folder.Path() + "j").Restore();
  EXPECT_EQ(restored.Problem, "");
  ASSERT_EQ(restored.Entries.size(), std::size(odd));
  for (std::size_t i = 0; i < std::size(odd); ++i) {
    EXPECT_EQ(restored.Entries[i].FileName, odd[i]) << i;
    EXPECT_EQ(restored.Entries[i].Site, odd[i] + u"!") << i;
    EXPECT_EQ(restored.Entries[i].Request, u"http://h/" + odd[i]) << i;
  }
  // One record is one line whatever it holds.
  const std::string bytes = Read(folder.Path() + "j");
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), static_cast<long>(std::size(odd)) + 1);
}

TEST(JournalTest, WhatIsNotEndedIsRestoredInOrderAndIdsGoOn) {
  const struct {
    int Taken;
    std::vector<std::uint64_t> Ended;
    std::vector<std::uint64_t> Restored;
    std::uint64_t Next;  // the id of the next update taken
  } cases[] = {
      {0, {}, {}, 1},
      {3, {}, {1, 2, 3}, 4},
      {3, {2}, {1, 3}, 4},
      {3, {3, 1, 2}, {}, 4},
      {2, {7, 1, 1}, {2}, 3},  // unknown and repeated ends are passed over
  };
  for (const auto& c : cases) {
    const TTempFolder folder;
    TJournal journal(folder.Path() + "j");
    journal.Restore();
    for (int i = 0; i < c.Taken; ++i) {
      UpdateEntry entry = Entry(IntToText(i + 1));
      EXPECT_EQ(journal.Taken(entry), "");
      EXPECT_EQ(entry.JournalId, static_cast<std::uint64_t>(i + 1));
    }
    for (const std::uint64_t id : c.Ended) EXPECT_EQ(journal.Ended(id), "");
    TJournal next(folder.Path() + "j");
    const auto restored = next.Restore();
    EXPECT_EQ(Ids(restored.Entries), c.Restored) << c.Taken;
    for (const UpdateEntry& e : restored.Entries) EXPECT_EQ(e.FileName, IntToText(static_cast<std::int64_t>(e.JournalId)));
    UpdateEntry more = Entry(u"more");
    EXPECT_EQ(next.Taken(more), "");
    EXPECT_EQ(more.JournalId, c.Next) << c.Taken;
  }
}

TEST(JournalTest, ADamagedJournalRestoresWhatCanBeRead) {
  const std::string header = std::string(JournalHeader) + "\n";
  const std::string a = TakenRecord(1, Entry(u"a")), b = TakenRecord(2, Entry(u"b")), c = TakenRecord(3, Entry(u"c"));
  std::string flipped = b;
  flipped[8] ^= 0x20;
  const struct {
    const char* Name;
    std::string Bytes;
    std::vector<std::uint64_t> Restored;
    std::string Problem;  // "" or what it holds
  } cases[] = {
      {"cut short", header + a + b + c.substr(0, 10), {1, 2}, "ends in 10 bytes cut short"},
      {"garbage lines", header + "hello\n" + a + std::string("\0\xff\n", 3) + b + "\n", {1, 2}, "holds 3 records that cannot be read"},
      {"flipped byte", header + a + flipped + c, {1, 3}, "1 record that cannot be read"},
      {"both", header + a + "x\n" + b + "tak", {1, 2}, "ends in 3 bytes cut short; 1 record that"},
      {"repeated id, stray end", header + a + TakenRecord(1, Entry(u"z")) + EndedRecord(9) + b, {1, 2}, ""},
      {"header cut short", header.substr(0, 7), {}, ""},
      {"empty", "", {}, ""},
      {"foreign", "\x89PNG\r\n\x1a\nbinary", {}, "is not a relaybox journal: it is kept as "},
      {"next version", "relaybox journal 2\n" + a, {}, "is not a relaybox journal"},
  };
  for (const auto& c : cases) {
    const TTempFolder folder;
    folder.Write("j", c.Bytes);
    TJournal journal(folder.Path() + "j");
    const auto restored = journal.Restore();
    EXPECT_EQ(Ids(restored.Entries), c.Restored) << c.Name;
    if (!restored.Entries.empty()) {
      EXPECT_EQ(restored.Entries[0].FileName, u"a") << c.Name;
    }
    EXPECT_EQ(restored.Problem.empty(), c.Problem.empty()) << c.Name << ": " << restored.Problem;
    EXPECT_NE(restored.Problem.find(c.Problem), std::string::npos) << c.Name << ": " << restored.Problem;
    // It goes on as a good journal, and the damage is named once.
    UpdateEntry more = Entry(u"more");
    EXPECT_EQ(journal.Taken(more), "") << c.Name;
    const auto again = TJournal(folder.Path() + "j").Restore();
    EXPECT_EQ(again.Problem, "") << c.Name;
    EXPECT_EQ(again.Entries.size(), c.Restored.size() + 1) << c.Name;
    EXPECT_EQ(again.Entries.back().FileName, u"more") << c.Name;
  }
}

TEST(JournalTest, CompactionKeepsExactlyThePendingRecords) {
  const TTempFolder folder;
  const std::string path = folder.Path() + "j";
  TJournal journal(path);
  journal.Restore();
  const auto take = [&journal](int i, std::size_t size) {
    UpdateEntry entry = Entry(IntToText(i), u"site", Text(size, u'r'));
    EXPECT_EQ(journal.Taken(entry), "");
    return entry.JournalId;
  };
  // Emptied: cut back to its header.
  for (int i = 1; i <= 4; ++i) take(i, 2000);
  for (std::uint64_t id = 1; id <= 4; ++id) journal.Ended(id);
  EXPECT_EQ(std::filesystem::file_size(path), JournalHeader.size() + 1);

  // Grown past 1 MiB: rewritten once at most half is pending.
  std::vector<std::uint64_t> kept;
  for (int i = 1; i <= 40; ++i) {
    const std::uint64_t id = take(i, 32768);
    if (i % 3 != 0) kept.push_back(id);
  }
  for (std::uint64_t id = 5; id <= 44; id += 3) EXPECT_EQ(journal.Ended(id + 2), "");
  for (std::size_t i = 0; i < 14; ++i) EXPECT_EQ(journal.Ended(kept[i]), "");
  kept.erase(kept.begin(), kept.begin() + 14);
  EXPECT_LT(std::filesystem::file_size(path), 1u << 20);
  // What was moved still ends and restores where it now lies.
  EXPECT_EQ(journal.Ended(kept[0]), "");
  kept.erase(kept.begin());
  kept.push_back(take(99, 10));
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
  const auto restored = TJournal(path).Restore();
  EXPECT_EQ(restored.Problem, "");
  EXPECT_EQ(Ids(restored.Entries), kept);
  EXPECT_EQ(restored.Entries.back().FileName, u"99");
}

TEST(JournalTest, AFolderThatCannotBeWrittenFailsEachTakeUntilItCan) {
  const TTempFolder folder;
  const int status = RunWithoutPrivileges(folder, 0777, [&folder] {
    const std::string own = folder.Path() + "state/";
    if (::mkdir(own.c_str(), 0500) != 0) return 3;
    TJournal journal(own + "j");
    if (journal.Restore().Problem.find("cannot be") == std::string::npos) return 4;
    UpdateEntry entry = Entry(u"a");
    if (journal.Taken(entry).empty() || journal.Taken(entry).empty() || entry.JournalId != 0) return 5;
    ::chmod(own.c_str(), 0700);
    if (!journal.Taken(entry).empty() || entry.JournalId == 0) return 6;
    const auto restored = TJournal(own + "j").Restore();
    return restored.Entries.size() == 1 && restored.Entries[0].JournalId == entry.JournalId ? 0 : 7;
  });
  EXPECT_EQ(status, 0);
}

// A full disk leaves no room for an ended record: the taken record is marked in place. A FIFO
// where the journal belongs never holds the start.
TEST(JournalTest, NeitherAFullDiskNorAFifoHoldsTheRelay) {
  const TTempFolder folder;
  const int status = RunWithoutPrivileges(folder, 0777, [&folder] {
    const std::string path = folder.Path() + "j";
    TJournal journal(path);
    journal.Restore();
    UpdateEntry a = Entry(u"a"), b = Entry(u"b");
    if (!journal.Taken(a).empty() || !journal.Taken(b).empty()) return 3;
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit full{static_cast<rlim_t>(std::filesystem::file_size(path)), RLIM_INFINITY};
    if (::setrlimit(RLIMIT_FSIZE, &full) != 0) return 4;
    if (!journal.Ended(a.JournalId).empty()) return 5;
    const auto restored = TJournal(path).Restore();
    return Ids(restored.Entries) == std::vector<std::uint64_t>{b.JournalId} ? 0 : 6;
  });
  EXPECT_EQ(status, 0);
  const std::string fifo = folder.Path() + "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto restored = TJournal(fifo).Restore();
  EXPECT_NE(restored.Problem.find("is not a file"), std::string::npos) << restored.Problem;
}

TEST(JournalTest, TheJournalIsNamedAfterTheWatchFolder) {
  EXPECT_EQ(TJournal::PathFor("/s/", "/tmp/../"), "/s/watch-af63a24c860189fe.journal");
}

} // namespace
} // namespace relaybox
