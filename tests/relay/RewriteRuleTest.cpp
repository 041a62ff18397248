#include "relay/RewriteRule.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

TEST(RewriteRuleTest, ScriptReplacedOnUpdateDomainOnly) {
  const struct {
    Text Request, Expected;
  } cases[] = {
      {u"http://www.hoofline.example/cgi/updateScore.php?a=1&b=2",
       u"http://www.hoofline.example/cgi/testHLRelaybox.php?a=1&b=2"},
      {u"http://www.hoofline.example/updateScore.php",
       u"http://www.hoofline.example/testHLRelaybox.phphttp://www.hoofline.example/updateScore.php"},
      {u"http://hoofline.example/score.php?x=update",  // "update" after the "?"
       u"http://hoofline.example/score.php?x=testHLRelaybox.php?x=update"},
      {u"http://hoofline.example/s.php?a=1", u"testHLRelaybox.php?a=1"},
      {u"http://HOOFLINE.EXAMPLE/update.php?a=1", u"http://HOOFLINE.EXAMPLE/update.php?a=1"},
      {u"http://other.example/update.php?a=1", u"http://other.example/update.php?a=1"},
      {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(RewriteRequest(c.Request), c.Expected);
}

TEST(RewriteRuleTest, TailLimitedTo9999Characters) {
  const Text query = u"?" + Text(20000, u'q');
  const Text result = RewriteRequest(u"http://hoofline.example/update.php" + query);
  EXPECT_EQ(result, u"http://hoofline.example/testHLRelaybox.php" + query.substr(0, 9999));
}

} // namespace
} // namespace relaybox
