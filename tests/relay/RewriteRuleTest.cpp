#include "relay/RewriteRule.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(RewriteRuleTest, ScriptReplacedOnUpdateDomainOnly) {
  const Text longQuery = u"?" + Text(16000, u'q');
  const struct {
    Text Request, Expected;
  } cases[] = {
      {u"http://www.hoofline.example/cgi/updateScore.php?a=1&b=2",
       u"http://www.hoofline.example/cgi/testHLRelaybox.php?a=1&b=2"},
      {u"http://www.hoofline.example/updateScore.php", u"http://www.hoofline.example/testHLRelaybox.php"},
      {u"http://user@HOOFLINE.Example:8080/update.php?a=1", u"http://user@HOOFLINE.Example:8080/testHLRelaybox.php?a=1"},
      {u"http://hoofline.example/update.php" + longQuery, u"http://hoofline.example/testHLRelaybox.php" + longQuery},
      {u"//hoofline.example./update.php#f?x=1", u"//hoofline.example./testHLRelaybox.php"},
      // No "update" in the path: unchanged, wherever else it stands.
      {u"http://hoofline.example/score.php?x=update", u"http://hoofline.example/score.php?x=update"},
      {u"http://update.hoofline.example/s.php?a=1", u"http://update.hoofline.example/s.php?a=1"},
      // Other hosts: unchanged, even when they name the domain.
      {u"http://other/updates/post.php?ref=hoofline.example", u"http://other/updates/post.php?ref=hoofline.example"},
      {u"http://nothoofline.example/update.php?a=1", u"http://nothoofline.example/update.php?a=1"},
      {u"http://hoofline.example.evil/update.php?a=1", u"http://hoofline.example.evil/update.php?a=1"},
      {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(TextToUtf8(RewriteRequest(c.Request)), TextToUtf8(c.Expected));
}

} // namespace
} // namespace relaybox
