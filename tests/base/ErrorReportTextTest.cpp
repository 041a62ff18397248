#include "base/ErrorReportText.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(ErrorReportTextTest, FullStopAppendedAfterCharactersAboveIt) {
  const struct {
    Text Message, Expected;
  } cases[] = {{u"I/O error 103", u"I/O error 103."},
               {u"Done.", u"Done."},
               {u"Why?", u"Why?."},
               {u"Hm!", u"Hm!"},  // "!" sorts before "."
               {u"a,", u"a,"},
               {u"a/", u"a/."},
               {u"", u""}};
  for (const auto& c : cases) EXPECT_EQ(ErrorReportText(c.Message), c.Expected);
}

TEST(ErrorReportTextTest, TitleFromExecutableName) {
  EXPECT_EQ(ApplicationTitle("/usr/bin/relaybox"), u"Relaybox");
  EXPECT_EQ(ApplicationTitle("RELAYBOX.bin.old"), u"Relaybox");
  EXPECT_EQ(ApplicationTitle("/opt/a.b/hoofLine"), u"Hoofline");
}

} // namespace
} // namespace relaybox
