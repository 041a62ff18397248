#include "relay/RewriteRule.h"

#include "base/TextCase.h"

namespace relaybox {

Text RewriteRequest(const Text& request) {
  // The host: after "://" (if any), up to the path, without user and port.
  const std::size_t separator = request.find(u"://");
  const std::size_t authority = separator == Text::npos ? 0 : separator + 3;
  const std::size_t path = std::min(request.find_first_of(u"/?#", authority), request.size());
  Text host = request.substr(authority, path - authority);
  const std::size_t at = host.rfind(u'@');
  if (at != Text::npos) host.erase(0, at + 1);
  host = LowerCase(host.substr(0, host.find(u':')));
  const Text domain = UpdateServiceDomain;
  if (host != domain && !host.ends_with(u"." + domain)) return request;

  // The script part runs from the first "update" in the path (not the host, not the query).
  const std::size_t pathEnd = std::min(request.find_first_of(u"?#", path), request.size());
  const std::size_t update = request.find(u"update", path);
  if (update == Text::npos || update + 6 > pathEnd) return request;
  const std::size_t query = request.find(u'?', path);
  return request.substr(0, update) + u"testHLRelaybox.php" + (query == Text::npos ? Text() : request.substr(query));
}

} // namespace relaybox
