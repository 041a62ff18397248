#include "relay/RewriteRule.h"

namespace relaybox {
namespace {

constexpr std::size_t MaxTailLength = 9999;

} // namespace

Text RewriteRequest(const Text& request) {
  if (request.find(UpdateServiceDomain) == Text::npos) return request;
  const std::size_t update = request.find(u"update");
  const std::size_t query = request.find(u'?');
  // Without "update" nothing precedes the script name; without "?" the whole address follows.
  const Text head = update == Text::npos ? Text() : request.substr(0, update);
  const Text tail = request.substr(query == Text::npos ? 0 : query, MaxTailLength);
  return head + u"testHLRelaybox.php" + tail;
}

} // namespace relaybox
