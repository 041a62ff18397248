#include "ui/CommandLine.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(CommandLineTest, ReadsTheOptionsTheQtWay) {
  struct {
    QStringList Arguments;
    bool Headless, Help, Version;
    QString Error;
  } const cases[] = {
      {{}, false, false, false, ""},
      {{"--headless"}, true, false, false, ""},
      {{"-h"}, false, true, false, ""},
      {{"--help"}, false, true, false, ""},
      {{"-v"}, false, false, true, ""},
      {{"--version", "--headless"}, true, false, true, ""},
      {{"--bogus"}, false, false, false, "Unknown option 'bogus'."},
      {{"-hv"}, false, true, true, ""},
      {{"-headless"}, false, false, false, "Unknown option '-headless'; did you mean '--headless'?"},
      {{"-x11"}, false, false, false, "Unknown option '-x11'."},
      {{"folder"}, false, false, false, "Unexpected argument 'folder'."},
  };
  for (const auto& c : cases) {
    const TCommandLine line = ParseCommandLine(QStringList{"relaybox"} + c.Arguments, "/w/");
    EXPECT_EQ(line.Headless, c.Headless) << c.Arguments.join(' ').toStdString();
    EXPECT_EQ(line.ShowHelp, c.Help) << c.Arguments.join(' ').toStdString();
    EXPECT_EQ(line.ShowVersion, c.Version) << c.Arguments.join(' ').toStdString();
    EXPECT_EQ(line.Error, c.Error);
  }
  const QString help = ParseCommandLine({"relaybox"}, "/home/u/Dokumente/Quintel/Hoofline/Relaybox/").HelpText;
  EXPECT_TRUE(help.startsWith("Usage: relaybox [options]"));
  EXPECT_TRUE(help.contains("--headless"));
  EXPECT_TRUE(help.contains("/home/u/Dokumente/Quintel/Hoofline/Relaybox/")) << help.toStdString();
}

} // namespace
} // namespace relaybox
