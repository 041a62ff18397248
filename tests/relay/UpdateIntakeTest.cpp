#include "relay/UpdateIntake.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "relay/FolderListing.h"
#include "relay/UpdateFile.h"
#include "relay/UpdateQueue.h"

namespace relaybox {
namespace {

// The main window's grid (header row and five rows of three cells), count label and scan
// timer, recording what the intake does to them.
class TRecordingDisplay : public TMonitorDisplay {
public:
  Text Cell(int col, int row) const override { return Cells.at(row).at(col); }
  void SetCell(int col, int row, const Text& text) override {
    ++SetCellCalls;
    if (TimerEnabled) ++WritesWhileTimerEnabled;
    Cells.at(row).at(col) = text;
  }
  void SetCountCaption(const Text& text) override { Caption = text; }
  void SetScanTimerEnabled(bool enabled) override {
    TimerEnabled = enabled;
    TimerCalls.push_back(enabled);
  }

  std::array<std::array<Text, 3>, 6> Cells;
  int SetCellCalls = 0;
  int WritesWhileTimerEnabled = 0;
  Text Caption = u"unset";
  bool TimerEnabled = true;
  std::vector<bool> TimerCalls;
};

class UpdateIntakeTest : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(Folder.Path().empty());
    QueueCount = 0;
  }
  void TearDown() override { QueueCount = 0; }

  // Writes C000001.txt, runs one tick and returns the entry it queued.
  UpdateEntry TakeOne(const std::string& bytes) {
    const std::int32_t before = QueueCount;
    Folder.Write("C000001.txt", bytes);
    Intake.ScanUpdateFolder();
    EXPECT_EQ(QueueCount, before + 1);
    EXPECT_FALSE(Folder.Exists("C000001.txt"));
    return UpdateQueue[QueueCount];
  }

  TTempFolder Folder;
  TRecordingDisplay Display;
  TUpdateIntake Intake{Folder.Path(), Display};
};

TEST_F(UpdateIntakeTest, EmptyOrMissingFolderClearsCountLabel) {
  Intake.ScanUpdateFolder();
  EXPECT_EQ(Display.Caption, u"");
  Display.Caption = u"old";
  TUpdateIntake missing(Folder.Path() + "missing/", Display);
  missing.ScanUpdateFolder();
  EXPECT_EQ(Display.Caption, u"");
  EXPECT_EQ(QueueCount, 0);
  EXPECT_EQ(Display.TimerCalls, (std::vector<bool>{false, true, false, true}));
}

TEST_F(UpdateIntakeTest, LowestNumberFirstOnePerTick) {
  Folder.Write("C000010.txt", "ten\nhttp://a.example/10\n");
  Folder.Write("C000002.txt", "two\nhttp://a.example/2\n");
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 1);
  EXPECT_FALSE(Folder.Exists("C000002.txt"));
  EXPECT_TRUE(Folder.Exists("C000010.txt"));
  EXPECT_EQ(Display.Caption, u"unset");  // only written when nothing is taken
  Intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 2);
  EXPECT_EQ(Display.Cells[1], (std::array<Text, 3>{u"1 of 2", u"two", u"http://a.example/2"}));
  EXPECT_EQ(Display.Cells[2], (std::array<Text, 3>{u"2 of 2", u"ten", u"http://a.example/10"}));
  EXPECT_EQ(Display.WritesWhileTimerEnabled, 0);
  EXPECT_EQ(Display.TimerCalls, (std::vector<bool>{false, true, false, true}));
}

TEST_F(UpdateIntakeTest, FileContentRules) {
  const struct {
    std::string Bytes;
    Text Site, Request;
  } cases[] = {
      {"Site one\nhttp://a.example/x?y=1\n", u"Site one", u"http://a.example/x?y=1"},
      {"Site one\r\nhttp://a.example/x?y=1\r\n", u"Site one", u"http://a.example/x?y=1"},
      {"s\nr\nfurther\nlines\n", u"s", u"r"},
      {"only line", u"only line", u""},
      {"", u"", u""},
      {"site\rhttp://a.example/\n", u"sitehttp://a.example/", u""},
      {"\xEF\xBB\xBFsite\nreq", u"\u00EF\u00BB\u00BFsite", u"req"},
      {"\x1A" "site\nreq\n", u"", u""},
      {"site\n\x1A" "req\n", u"site", u""},
      {"si\x1Ate\nreq\x1Ajunk\nmore", u"si", u"req"},
      {std::string("\0\x01\xFF\x80\x9D\n\x7F", 7), Text{0, 1, 0xFF, 0x20AC, 0x9D}, Text{0x7F}},
      {"s\nhttp://www.hoofline.example/hl/updateRace.php?r=1&t=2\n", u"s",
       u"http://www.hoofline.example/hl/testHLRelaybox.php?r=1&t=2"},
      // A line keeps its first characters up to the limit; the rest is skipped, CR LF or not.
      {std::string(10 << 20, 'z') + "\nreq", Text(UpdateLineLimit, u'z'), u"req"},
      {"site\n" + std::string(UpdateLineLimit, 'r') + "\r\n", u"site", Text(UpdateLineLimit, u'r')},
      {std::string(UpdateLineLimit + 1, 's') + "\x1A\r\nreq", Text(UpdateLineLimit, u's'), u"req"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const UpdateEntry entry = TakeOne(cases[i].Bytes);
    EXPECT_EQ(entry.Site, cases[i].Site);
    EXPECT_EQ(entry.Request, cases[i].Request);
  }
}

TEST_F(UpdateIntakeTest, NumberIsTheSixCharactersAfterTheC) {
  Folder.Write("C999999.txt", "never\n");
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 0);
  EXPECT_EQ(Display.Caption, u"C999999.txt");

  Folder.Write("C1234567.txt", "123456\n");
  Folder.Write("c000200.TXT", "200\n");
  Folder.Write("C12345.txt", "zero\n");
  Folder.Write("C.txt", "zero\n");
  Folder.Write("C-00005.txt", "-5\n");
  // Of the two names numbered 0 the one listed first wins.
  std::vector<Text> zeros;
  for (const TListedName& entry : ListUpdateFiles(Folder.Path())) {
    if (entry.Name == u"C12345.txt" || entry.Name == u"C.txt") zeros.push_back(entry.Name);
  }
  ASSERT_EQ(zeros.size(), 2u);
  const std::vector<std::string> expected = {"C-00005.txt", TextToUtf8(zeros[0]), TextToUtf8(zeros[1]),
                                             "c000200.TXT", "C1234567.txt"};
  for (const std::string& name : expected) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(Folder.Exists(name));
    Intake.ScanUpdateFolder();
    EXPECT_FALSE(Folder.Exists(name));
  }
  EXPECT_EQ(QueueCount, 5);
  EXPECT_EQ(UpdateQueue[5].Site, u"123456");
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 5);
  EXPECT_TRUE(Folder.Exists("C999999.txt"));
}

TEST_F(UpdateIntakeTest, FullQueueLeavesFolderAlone) {
  QueueCount = QueueCapacity;
  Folder.Write("C000001.txt", "s\nr\n");
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, QueueCapacity);
  EXPECT_TRUE(Folder.Exists("C000001.txt"));
  EXPECT_EQ(Display.Caption, u"unset");
  EXPECT_EQ(Display.SetCellCalls, 0);
  EXPECT_EQ(Display.TimerCalls, (std::vector<bool>{false, true}));
  QueueCount = QueueCapacity - 1;
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, QueueCapacity);
  EXPECT_EQ(UpdateQueue[QueueCapacity].Site, u"s");
}

TEST_F(UpdateIntakeTest, NoFileIsTakenWhileTheFolderIsNotThisRelays) {
  const std::string halted = "Not taking files: another relay holds the watch folder";
  std::string guard = "another relay holds the watch folder";
  std::vector<std::string> lines;
  Intake.KeepFolder = [&guard] { return guard; };
  Intake.OnHalted = [&lines](const std::string& line) { lines.push_back(line); };
  Folder.Write("C000001.txt", "s\nr\n");
  Intake.ScanUpdateFolder();
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 0);
  EXPECT_EQ(Display.Caption, Utf8ToText(halted));
  guard.clear();
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 1);
  EXPECT_EQ(lines, (std::vector<std::string>{halted, ""}));
  // Asked before each file is taken; a tick with nothing to take does not ask again at once.
  int asked = 0;
  Intake.KeepFolder = [&asked] { return ++asked, std::string(); };
  for (int tick = 0; tick < 3; ++tick) Intake.ScanUpdateFolder();
  EXPECT_EQ(asked, 0);
  Folder.Write("C000002.txt", "s\nr\n");
  Intake.ScanUpdateFolder();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(QueueCount, 2);
}

TEST_F(UpdateIntakeTest, AFileThatCannotBeRecordedStaysAndHaltsTheIntakeUntilOneIs) {
  const std::string problem = "cannot write the journal /x/journal-ab12: No space left on device";
  std::string refusal = problem;
  std::vector<std::string> lines, recorded;
  Intake.OnHalted = [&lines](const std::string& line) { lines.push_back(line); };
  Intake.OnTaking = [&](UpdateEntry& entry) {
    // The slot is filled and the file not yet deleted.
    if (&entry == &UpdateQueue[QueueCount] && Folder.Exists(TextToUtf8(entry.FileName))) {
      recorded.push_back(TextToUtf8(entry.FileName + u" " + entry.Site + u" " + entry.Request));
    }
    return refusal;
  };
  Folder.Write("C000001.txt", "one\nhttp://a.example/1\n");
  Folder.Write("C000002.txt", "two\n");
  for (int tick = 0; tick < 3; ++tick) Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 0);
  EXPECT_EQ(UpdateQueue[1].Site, u"");
  EXPECT_TRUE(Folder.Exists("C000001.txt"));
  EXPECT_EQ(Display.Caption, Utf8ToText("Not taking files: " + problem));
  EXPECT_EQ(Display.SetCellCalls, 0);
  EXPECT_EQ(recorded.size(), 3u);
  refusal.clear();
  Intake.ScanUpdateFolder();
  Intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 2);
  EXPECT_FALSE(Folder.Exists("C000001.txt"));
  EXPECT_EQ(Display.Cells[1], (std::array<Text, 3>{u"1 of 2", u"one", u"http://a.example/1"}));
  EXPECT_EQ(recorded.back(), "C000002.txt two ");
  EXPECT_EQ(lines, (std::vector<std::string>{"Not taking files: " + problem, ""}));
}

TEST_F(UpdateIntakeTest, RestoredUpdatesGoAheadOfFilesAndWaitForRoom) {
  std::vector<UpdateEntry> restored(QueueCapacity + 2);
  for (std::size_t i = 0; i < restored.size(); ++i) restored[i].Site = IntToText(static_cast<std::int64_t>(i + 1));
  // A relay stopped between recording and deleting left a file that is a restored update: it
  // goes. A new file of a restored update's name and lines is a new update.
  Intake.OnTaking = [&restored](UpdateEntry& entry) {
    restored[entry.FileName == u"C000002.txt" ? 1 : 2] = entry;
    return std::string("stopped");
  };
  Folder.Write("C000003.txt", "3\r\nhttp://y/\r\n");
  Intake.ScanUpdateFolder();
  const timespec rewritten[2] = {{1000, 0}, {1000, 0}};
  ::utimensat(AT_FDCWD, (Folder.Path() + "C000003.txt").c_str(), rewritten, 0);
  Folder.Write("C000002.txt", "2\r\nhttp://x/\r\n");
  Intake.ScanUpdateFolder();
  int recorded = 0;
  Intake.OnTaking = [&recorded](UpdateEntry&) { return ++recorded, std::string(); };
  Folder.Write("C000001.txt", "file\n");
  Intake.Restore(std::move(restored));
  EXPECT_FALSE(Folder.Exists("C000002.txt"));
  EXPECT_TRUE(Folder.Exists("C000003.txt"));
  ASSERT_EQ(QueueCount, QueueCapacity);
  EXPECT_EQ(UpdateQueue[QueueCapacity].Site, IntToText(QueueCapacity));
  EXPECT_EQ(Display.Cells[2], (std::array<Text, 3>{u"2 of 2000", u"2", u"http://x/"}));
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, QueueCapacity);
  // Two delivered: the rest of the restored ones come first, one per tick, then the file.
  RemoveQueueHead();
  RemoveQueueHead();
  const Text expected[] = {IntToText(QueueCapacity + 1), IntToText(QueueCapacity + 2)};
  for (const Text& site : expected) {
    Intake.ScanUpdateFolder();
    EXPECT_EQ(UpdateQueue[QueueCount].Site, site);
    EXPECT_TRUE(Folder.Exists("C000001.txt"));
  }
  EXPECT_EQ(QueueCount, QueueCapacity);
  EXPECT_EQ(recorded, 0);
  RemoveQueueHead();
  Intake.ScanUpdateFolder();
  EXPECT_EQ(UpdateQueue[QueueCapacity].Site, u"file");
  EXPECT_EQ(recorded, 1);
}

TEST_F(UpdateIntakeTest, GridWritesOnlyChangedCells) {
  Display.Cells[0] = {u"Number", u"Site", u"Request"};
  Display.Cells[5] = {u"x", u"y", u"z"};
  QueueCount = 3;
  for (int i = 1; i <= 3; ++i) UpdateQueue[i] = {u"site" + IntToText(i), u"req" + IntToText(i), {}};
  Intake.RefreshMonitorGrid();
  EXPECT_EQ(Display.SetCellCalls, 9 + 3);
  EXPECT_EQ(Display.Cells[0][0], u"Number");
  EXPECT_EQ(Display.Cells[3], (std::array<Text, 3>{u"3 of 3", u"site3", u"req3"}));
  EXPECT_EQ(Display.Cells[5], (std::array<Text, 3>{}));
  Intake.RefreshMonitorGrid();
  EXPECT_EQ(Display.SetCellCalls, 12);

  QueueCount = 7;
  for (int i = 4; i <= 7; ++i) UpdateQueue[i] = {u"site" + IntToText(i), u"req" + IntToText(i), {}};
  Intake.RefreshMonitorGrid();
  EXPECT_EQ(Display.SetCellCalls, 12 + 3 + 6);  // new counts in rows 1-3, rows 4-5 filled
  EXPECT_EQ(Display.Cells[1][0], u"1 of 7");
  EXPECT_EQ(Display.Cells[5], (std::array<Text, 3>{u"5 of 7", u"site5", u"req5"}));
}

TEST_F(UpdateIntakeTest, DirectoryNamedLikeAnUpdateFileIsPassedOver) {
  std::filesystem::create_directory(Folder.Path() + "C000001.txt");
  Folder.Write("C000005.txt", "five\n");
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 1);
  EXPECT_FALSE(Folder.Exists("C000005.txt"));
  Intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 1);
  EXPECT_EQ(Display.Caption, u"C000001.txt");
  EXPECT_TRUE(std::filesystem::is_directory(Folder.Path() + "C000001.txt"));
}

TEST_F(UpdateIntakeTest, NothingThatCannotBeReadHoldsBackTheLaterFiles) {
  const std::string dir = Folder.Path();
  std::filesystem::create_symlink(dir + "nothing", dir + "C000001.txt");
  std::filesystem::create_symlink(dir + "C000002.txt", dir + "C000002.txt");
  ::mkfifo((dir + "C000003.txt").c_str(), 0600);
  std::filesystem::create_symlink("/dev/zero", dir + "C000004.txt");
  // A regular file whose reads fail: nothing of it is queued and it is not deleted.
  std::filesystem::create_symlink("/proc/self/mem", dir + "C000005.txt");
  Folder.Write("C000007.txt", "seven\n");
  Folder.Write("C000008.txt", "eight\n");
  std::vector<std::string> passedOver;
  Intake.OnPassedOver = [&passedOver](const Text& name, const std::string& reason) {
    passedOver.push_back(TextToUtf8(name) + " " + reason);
  };
  for (int tick = 0; tick < 4; ++tick) Intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 2);
  EXPECT_EQ(UpdateQueue[1].Site, u"seven");
  EXPECT_EQ(UpdateQueue[2].Site, u"eight");
  // Each is named once and left where it is.
  EXPECT_EQ(passedOver, (std::vector<std::string>{"C000001.txt cannot be read: No such file or directory",
                                                  "C000002.txt cannot be read: Too many levels of symbolic links",
                                                  "C000003.txt is not a regular file",
                                                  "C000004.txt is not a regular file",
                                                  "C000005.txt cannot be read: Input/output error"}));
  for (const char* name : {"C000001.txt", "C000002.txt", "C000003.txt", "C000004.txt", "C000005.txt"}) {
    EXPECT_TRUE(std::filesystem::symlink_status(dir + name).type() != std::filesystem::file_type::not_found) << name;
  }
  // A change gives a file its next try (changes are looked for once a second); a file that
  // keeps changing for the same reason is not named again.
  Folder.Write("nothing", "one\n");
  std::filesystem::last_write_time(dir + "C000003.txt", std::filesystem::file_time_type::clock::now());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 3);
  EXPECT_EQ(UpdateQueue[3].Site, u"one");
  EXPECT_EQ(passedOver.size(), 5u);
}

TEST_F(UpdateIntakeTest, FilesBeingWrittenAreWaitedForInOrderButNotForever) {
  if (!Folder.LeasesWork()) GTEST_SKIP() << "no file leases on this file system";
  TUpdateIntake intake(Folder.Path(), Display, std::chrono::milliseconds(200));
  std::vector<std::string> passedOver;
  intake.OnPassedOver = [&passedOver](const Text& name, const std::string& reason) {
    passedOver.push_back(TextToUtf8(name) + " " + reason);
  };
  Folder.Write("C000001.txt", "site\n");
  Folder.Write("C000002.txt", "two\n");
  Folder.Write("C000003.txt", "three\n");
  const int writer = ::open((Folder.Path() + "C000001.txt").c_str(), O_WRONLY | O_APPEND);
  // A write lease, which an open breaks but does not wait for: the file is in use all the same.
  const int second = ::open((Folder.Path() + "C000002.txt").c_str(), O_RDONLY);
  ASSERT_GE(writer, 0);
  ASSERT_GE(second, 0);
  ASSERT_EQ(::fcntl(second, F_SETLEASE, F_WRLCK), 0);
  intake.ScanUpdateFolder();
  intake.ScanUpdateFolder();
  EXPECT_EQ(QueueCount, 0);
  EXPECT_EQ(Display.TimerCalls, (std::vector<bool>{false, true, false, true}));
  // Both waits began together and end together.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 1);
  EXPECT_EQ(UpdateQueue[1].Site, u"three");
  EXPECT_EQ(passedOver, (std::vector<std::string>{"C000001.txt is still being written after 0 s",
                                                  "C000002.txt is still being written after 0 s"}));
  ::close(second);
  EXPECT_EQ(::write(writer, "req\n", 4), 4);
  ::close(writer);
  intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 2);
  EXPECT_EQ(UpdateQueue[2].Request, u"req");
  EXPECT_FALSE(Folder.Exists("C000001.txt"));
}

TEST_F(UpdateIntakeTest, AFileIsReadNoFurtherThanItsLimit) {
  // Sparse: nothing but its last bytes is stored.
  const std::string path = Folder.Path() + "C000001.txt";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pwrite(fd, "\nreq\n", 5, UpdateReadLimit), 5);
  ::close(fd);
  Intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 1);
  EXPECT_EQ(UpdateQueue[1].Site, Text(UpdateLineLimit, u'\0'));
  EXPECT_EQ(UpdateQueue[1].Request, u"");
  EXPECT_FALSE(Folder.Exists("C000001.txt"));
}

TEST_F(UpdateIntakeTest, AFileWithoutReadPermissionIsPassedOver) {
  Folder.Write("C000001.txt", "secret\n");
  Folder.Write("C000002.txt", "two\n");
  ::chmod((Folder.Path() + "C000001.txt").c_str(), 0600);
  ::chmod((Folder.Path() + "C000002.txt").c_str(), 0666);
  const int status = RunWithoutPrivileges(Folder, 0777, [this] {
    std::string reason;
    Intake.OnPassedOver = [&reason](const Text&, const std::string& text) { reason += text; };
    for (int tick = 0; tick < 3; ++tick) Intake.ScanUpdateFolder();
    if (QueueCount != 1 || UpdateQueue[1].Site != u"two") return 3;
    return reason == "cannot be read: Permission denied" ? 0 : 4;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Folder.Exists("C000001.txt"));
}

// Checks of the undeletable-file case, run as the owner of the folder and its files; 0 when all hold.
int UndeletableChecks(TUpdateIntake& intake, const TTempFolder& folder) {
  const std::string dir = folder.Path();
  const auto waitForCheck = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); };
  if (::chmod(dir.c_str(), 0555) != 0) return 2;
  int told = 0;
  intake.OnPassedOver = [&told](const Text&, const std::string&) { ++told; };
  for (int tick = 0; tick < 4; ++tick) intake.ScanUpdateFolder();
  if (QueueCount != 2 || UpdateQueue[1].Site != u"one" || UpdateQueue[2].Site != u"five" || told != 2) return 3;
  // A new mode changes the file's ctime, not its content: the same update.
  ::chmod((dir + "C000001.txt").c_str(), 0640);
  waitForCheck();
  intake.ScanUpdateFolder();
  if (QueueCount != 2 || told != 2) return 4;
  // A changed file is a new update under the same name.
  std::ofstream(dir + "C000001.txt", std::ios::app) << "req\n";
  waitForCheck();
  intake.ScanUpdateFolder();
  intake.ScanUpdateFolder();
  if (QueueCount != 3 || UpdateQueue[3].Request != u"req") return 5;
  // Deleted once that is possible, and not queued again.
  ::chmod(dir.c_str(), 0755);
  waitForCheck();
  intake.ScanUpdateFolder();
  intake.ScanUpdateFolder();
  if (QueueCount != 3 || folder.Exists("C000001.txt") || folder.Exists("C000005.txt")) return 6;
  return 0;
}

TEST_F(UpdateIntakeTest, UndeletableFileIsQueuedOnceDeletedWhenItCanBeAndHoldsNothingBack) {
  Folder.Write("C000001.txt", "one\n");
  Folder.Write("C000005.txt", "five\n");
  // The unprivileged child owns them, so that it can change their modes.
  if (::geteuid() == 0) {
    for (const char* name : {"", "C000001.txt", "C000005.txt"}) {
      ASSERT_EQ(::chown((Folder.Path() + name).c_str(), 65534, 65534), 0);
    }
  }
  EXPECT_EQ(RunWithoutPrivileges(Folder, 0555, [this] { return UndeletableChecks(Intake, Folder); }), 0);
}

TEST_F(UpdateIntakeTest, TicksTakeFromTheIndexWithoutListingTheFolder) {
  Intake.ScanUpdateFolder();
  // Created highest first, more than the kernel's event queue holds by default: the queue
  // overflows, and the folder is listed once more.
  constexpr int Files = 20000;
  for (int number = Files; number >= 1; --number) {
    char name[32];
    std::snprintf(name, sizeof name, "C%06d.txt", number);
    const int fd = ::open((Folder.Path() + name).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, name, 7), 7);
    ::close(fd);
  }
  Intake.ScanUpdateFolder();
  const std::uint64_t listings = Intake.FolderListings();
  EXPECT_LE(listings, 2u);
  for (int tick = 2; tick <= 5; ++tick) Intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 5);
  for (int slot = 1; slot <= 5; ++slot) EXPECT_EQ(UpdateQueue[slot].Site, u"C00000" + IntToText(slot));
  EXPECT_EQ(Intake.FolderListings(), listings);
  EXPECT_FALSE(Folder.Exists("C000005.txt"));
  EXPECT_TRUE(Folder.Exists("C000006.txt"));
}

TEST_F(UpdateIntakeTest, AFolderGoneOrPutInPlaceOfTheWatchedOneIsWatchedAnew) {
  namespace fs = std::filesystem;
  // Each makes another folder stand at `watched` and returns where the old one went, if anywhere.
  const struct {
    const char* What;
    std::function<std::string(const std::string& above, const std::string& watched)> Replace;
  } cases[] = {
      // The watch holds the folder open (as the relay's lock does), which holds back the event of
      // its removal: the folder at the path is looked at once a second. So in the next case.
      {"removed and made again", [](const std::string&, const std::string& watched) {
         fs::remove_all(watched);
         fs::create_directory(watched);
         std::this_thread::sleep_for(std::chrono::milliseconds(1100));
         return std::string();
       }},
      {"renamed away, another renamed in", [](const std::string& above, const std::string& watched) {
         fs::rename(watched, above + "old");
         fs::create_directory(above + "new");
         fs::rename(above + "new", watched);
         return above + "old/";
       }},
      {"another renamed over it", [](const std::string& above, const std::string& watched) {
         fs::create_directory(above + "new");
         fs::rename(above + "new", watched);
         std::this_thread::sleep_for(std::chrono::milliseconds(1100));
         return std::string();
       }},
      // No event of the watch tells this one: the folder at the path is looked at once a second.
      {"the folder above renamed away", [](const std::string& above, const std::string& watched) {
         const std::string old = above.substr(0, above.size() - 1) + "-old/";
         fs::rename(above, old);
         fs::create_directories(watched);
         std::this_thread::sleep_for(std::chrono::milliseconds(1100));
         return old + "w/";
       }},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].What);
    const std::string above = Folder.Path() + "a" + std::to_string(i) + "/", watched = above + "w/";
    fs::create_directories(watched);
    QueueCount = 0;
    TUpdateIntake intake(watched, Display);
    intake.ScanUpdateFolder();
    std::ofstream(watched + "C000001.txt") << "one\n";
    intake.ScanUpdateFolder();
    ASSERT_EQ(QueueCount, 1);
    const std::string old = cases[i].Replace(above, watched);
    if (!old.empty()) std::ofstream(old + "C000002.txt") << "old\n";
    std::ofstream(watched + "C000003.txt") << "three\n";
    intake.ScanUpdateFolder();
    intake.ScanUpdateFolder();
    ASSERT_EQ(QueueCount, 2);
    EXPECT_EQ(UpdateQueue[2].Site, u"three");
    EXPECT_TRUE(old.empty() || fs::exists(old + "C000002.txt"));
  }
}

// The folder above is swapped for one holding a lower number and a name the old one held.
TEST_F(UpdateIntakeTest, NothingIsTakenByANameOfAFolderNoLongerWatched) {
  namespace fs = std::filesystem;
  const std::string above = Folder.Path() + "a/", watched = above + "w/", other = Folder.Path() + "b/";
  fs::create_directories(watched);
  fs::create_directories(other + "w/");
  std::ofstream(watched + "C000050.txt") << "old fifty\n";
  std::ofstream(watched + "C000054.txt") << "old\n";
  std::ofstream(other + "w/C000001.txt") << "one\n";
  std::ofstream(other + "w/C000054.txt") << "new\n";
  QueueCount = 0;
  TUpdateIntake intake(watched, Display);
  intake.ScanUpdateFolder();
  fs::rename(above, Folder.Path() + "a-old/");
  fs::rename(other, above);
  intake.ScanUpdateFolder();
  intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 3);
  EXPECT_EQ(UpdateQueue[2].Site, u"one");
  EXPECT_EQ(UpdateQueue[3].Site, u"new");
}

TEST_F(UpdateIntakeTest, AFileRewrittenWhileItsUpdateIsRecordedStaysForTheNextTick) {
  Folder.Write("C000001.txt", "one\n");
  Intake.OnTaking = [this](UpdateEntry& entry) {
    if (entry.Site == u"one") Folder.Write("C000001.txt", "one again\n");  // in place, as a writer's open waited
    return std::string();
  };
  Intake.ScanUpdateFolder();
  Intake.ScanUpdateFolder();
  ASSERT_EQ(QueueCount, 2);
  EXPECT_EQ(UpdateQueue[2].Site, u"one again");
  EXPECT_FALSE(Folder.Exists("C000001.txt"));
}

// Waits (boundedly) for one byte on `fd`.
bool AwaitStep(int fd) {
  pollfd ready{fd, POLLIN, 0};
  char step = 0;
  return ::poll(&ready, 1, 10000) == 1 && ::read(fd, &step, 1) == 1;
}

TEST_F(UpdateIntakeTest, AFileAnotherUserHoldsOpenForWritingIsWaitedFor) {
  // The intake runs as another user, who can have no lease on the writer's file: only the
  // folder's events tell that it is being written.
  int toWriter[2], toIntake[2];
  ASSERT_EQ(::pipe(toWriter), 0);
  ASSERT_EQ(::pipe(toIntake), 0);
  std::thread writer([&] {
    if (!AwaitStep(toWriter[0])) return;
    const int fd = ::open((Folder.Path() + "C000001.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    const bool written = fd >= 0 && ::write(fd, "site\n", 5) == 5;
    Folder.Write("C000002.txt", "two\n");
    if (!written || ::write(toIntake[1], "w", 1) != 1 || !AwaitStep(toWriter[0])) return;
    if (::write(fd, "req\n", 4) == 4 && ::close(fd) == 0) {
      EXPECT_EQ(::write(toIntake[1], "c", 1), 1);
    }
  });
  const int status = RunWithoutPrivileges(Folder, 0777, [&] {
    Intake.ScanUpdateFolder();
    if (::write(toWriter[1], "s", 1) != 1 || !AwaitStep(toIntake[0])) return 3;
    for (int tick = 0; tick < 3; ++tick) Intake.ScanUpdateFolder();
    if (QueueCount != 0) return 4;
    if (::write(toWriter[1], "s", 1) != 1 || !AwaitStep(toIntake[0])) return 5;
    Intake.ScanUpdateFolder();
    Intake.ScanUpdateFolder();
    return QueueCount == 2 && UpdateQueue[1].Request == u"req" && UpdateQueue[2].Site == u"two" ? 0 : 6;
  });
  EXPECT_EQ(status, 0);
  writer.join();
  for (int fd : {toWriter[0], toWriter[1], toIntake[0], toIntake[1]}) ::close(fd);
}

} // namespace
} // namespace relaybox
