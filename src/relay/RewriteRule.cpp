#include "relay/RewriteRule.h"

#include "base/TextCase.h"

namespace relaybox {

Text RewriteRequest(const Text& request) {
  // The host: after "://" or a leading "//", up to the path, without user, port and the dot
  // that may end a full name.
  const std::size_t separator = request.find(u"://");
  const std::size_t authority = separator != Text::npos ? separator + 3 : request.starts_with(u"//") ? 2 : 0;
  const std::size_t path = std::min(request.find_first_of(u"/?#", authority), request.size());
  Text host = request.substr(authority, path - authority);
  const std::size_t at = host.rfind(u'@');
  if (at != Text::npos) host.erase(0, at + 1);
  host = LowerCase(host.substr(0, host.find(u':')));
  if (host.ends_with(u'.')) host.pop_back();
  const Text domain = UpdateServiceDomain;
  if (host != domain && !host.ends_with(u"." + domain)) return request;

  // The script part runs from the first "update" in the path (not the host, not the query);
  // the query, if one follows the path, stays.
  const std::size_t pathEnd = std::min(request.find_first_of(u"?#", path), request.size());
  const std::size_t update = request.find(u"update", path);
  if (update == Text::npos || update + 6 > pathEnd) return request;
  const bool query = pathEnd < request.size() && request[pathEnd] == u'?';
  return request.substr(0, update) + u"testHLRelaybox.php" + (query ? request.substr(pathEnd) : Text());
}

} // namespace relaybox
