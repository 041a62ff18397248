#include "http/HttpDate.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(HttpDateTest, FormatsDaysSince1899) {
  const std::pair<double, const char*> cases[] = {
      {0, "Sat, 30 Dec 1899 00:00:00"},
      {2.5, "Mon, 01 Jan 1900 12:00:00"},
      {45000.75, "Wed, 15 Mar 2023 18:00:00"},
      {45291.999999, "Sun, 31 Dec 2023 23:59:59"},
  };
  for (const auto& [t, text] : cases) EXPECT_EQ(FormatHttpDate(t), Utf8ToText(text)) << t;
}

} // namespace
} // namespace relaybox
