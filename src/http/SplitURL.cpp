#include "http/SplitURL.h"

#include <algorithm>

#include "base/TextCase.h"

namespace relaybox {
namespace {

bool IsSchemeChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
}

// "./x" and "../x" against the directory of the current path.
Text RelativePath(const Text& url, const Text& currentPath) {
  const std::size_t slash = currentPath.rfind(u'/');
  Text directory = slash == Text::npos ? Text() : currentPath.substr(0, slash + 1);
  if (url.starts_with(u"./")) return directory + url.substr(2);
  std::size_t rest = 0;
  while (url.compare(rest, 3, u"../") == 0) {
    rest += 3;
    // Drop the last segment of the directory, never above its first "/".
    if (directory.size() > 1) {
      const std::size_t parent = directory.rfind(u'/', directory.size() - 2);
      directory.resize(parent == Text::npos ? 0 : parent + 1);
    }
  }
  return directory + url.substr(rest);
}

void SplitAuthority(const Text& authority, TUrlParts& parts) {
  const std::size_t colon = authority.rfind(u':');
  const std::size_t at = authority.rfind(u'@');
  const std::size_t hostStart = at == Text::npos ? 0 : at + 1;
  const std::size_t close = authority.find(u']', hostStart);
  if (authority.compare(hostStart, 1, u"[") == 0) {
    // An IPv6 literal keeps its brackets, as the Host line needs them, and its colons; only a
    // ":" right after "]" starts a port. Anything else after "]" stays with the host.
    const bool port = close != Text::npos && authority.compare(close + 1, 1, u":") == 0;
    const bool alone = close != Text::npos && close + 1 == authority.size();
    parts.Host = authority.substr(hostStart, port || alone ? close + 1 - hostStart : Text::npos);
    if (port) parts.Port = authority.substr(close + 2);
  } else if (colon != Text::npos && (at == Text::npos || colon > at)) {
    parts.Port = authority.substr(colon + 1);
    parts.Host = authority.substr(hostStart, colon - hostStart);
  } else {
    parts.Host = authority.substr(hostStart);
  }
  if (at == Text::npos) return;
  const Text userInfo = authority.substr(0, at);
  const std::size_t split = userInfo.find(u':');
  parts.User = userInfo.substr(0, split);
  if (split != Text::npos) parts.Pass = userInfo.substr(split + 1);
}

} // namespace

TUrlParts SplitURL(const Text& url, const Text& currentPath) {
  TUrlParts parts;
  if (url.empty()) return parts;
  if (url.starts_with(u"./") || url.starts_with(u"../")) {
    parts.Path = RelativePath(url, currentPath);
    return parts;
  }

  Text rest;
  bool scheme = false;
  const std::size_t separator = url.find(u"://");
  if (separator != Text::npos) {
    const Text before = LowerCase(url.substr(0, separator));
    if (std::all_of(before.begin(), before.end(), IsSchemeChar)) {
      parts.Proto = before;
      rest = url.substr(separator + 3);
      scheme = true;
    } else {
      parts.Proto = u"http";  // not a scheme: split as if there were none
    }
  }
  if (!scheme) {
    if (url[0] == u'/') {
      parts.Proto = u"http";
      if (url.size() < 2 || url[1] != u'/') {
        parts.Path = url;
        return parts;
      }
      rest = url.substr(2);  // a network-path reference: the authority follows "//"
    } else if (StartsWithNoCase(url, u"http:")) {
      parts.Proto = u"http";
      if (url.size() > 6 && url[6] != u'/') {
        parts.Path = url.substr(5);
        return parts;
      }
      rest = url.substr(std::min<std::size_t>(6, url.size()));
    } else if (StartsWithNoCase(url, u"mailto:")) {
      parts.Proto = u"mailto";
      rest = url.substr(url.find(u':') + 1);
    } else {
      rest = url;
    }
  }

  const std::size_t pathStart = rest.find_first_of(u"/?");
  if (pathStart != Text::npos) parts.Path = rest.substr(pathStart);
  SplitAuthority(rest.substr(0, pathStart), parts);
  return parts;
}

} // namespace relaybox
