#include "relay/RelayLog.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TempFolder.h"

namespace relaybox {
namespace {

std::string Read(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// Whether `text` has the shape of `shape`, where '#' stands for a digit.
bool Shaped(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
  }
  return true;
}

TEST(RelayLogTest, EachLineStartsWithTheLocalTimeAndItsOffset) {
  const struct {
    const char* Zone;
    const char* Offset;
  } cases[] = {{"UTC0", "+00:00"}, {"<+0530>-5:30", "+05:30"}, {"<-0930>9:30", "-09:30"}};
  const char* was = std::getenv("TZ");
  const std::string saved = was != nullptr ? was : "";
  for (const auto& c : cases) {
    ::setenv("TZ", c.Zone, 1);
    ::tzset();
    const TTempFolder folder;
    TRelayLog log(folder.Path() + "logs/");
    EXPECT_TRUE(log.Append("took 1.txt"));
    EXPECT_TRUE(log.Append("two\nlines"));
    const std::string stamp = "####-##-##T##:##:##.###" + std::string(c.Offset) + "\t";
    EXPECT_TRUE(Shaped(Read(log.Path()), stamp + "took 1.txt\n" + stamp + "two\\nlines\n")) << Read(log.Path());
    EXPECT_EQ(log.Problem(), "");
  }
  was != nullptr ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

TEST(RelayLogTest, AFullLogMakesWayForANewOneAndTwoAreKept) {
  const TTempFolder folder;
  TRelayLog log(folder.Path(), 300);
  for (int i = 10; i < 40; ++i) EXPECT_TRUE(log.Append("line " + std::to_string(i)));
  const std::string older = Read(log.Path() + ".1"), newer = Read(log.Path());
  EXPECT_LE(older.size(), 300u);
  EXPECT_LE(newer.size(), 300u);
  EXPECT_GT(older.size() + newer.size(), 300u);
  EXPECT_NE(older.find("\tline "), std::string::npos);
  EXPECT_NE(newer.find("\tline 39\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(log.Path() + ".2"));
}

TEST(RelayLogTest, ALogThatCannotBeWrittenSaysWhyAndTriesAgain) {
  const TTempFolder folder;
  const int status = RunWithoutPrivileges(folder, 0777, [&folder] {
    const std::string own = folder.Path() + "logs/";
    if (::mkdir(own.c_str(), 0500) != 0) return 3;
    TRelayLog log(own);
    if (log.Append("lost") || log.Problem().find("cannot be opened") == std::string::npos) return 4;
    ::chmod(own.c_str(), 0700);
    return log.Append("kept") && log.Problem().empty() ? 0 : 5;
  });
  EXPECT_EQ(status, 0);
}

} // namespace
} // namespace relaybox
