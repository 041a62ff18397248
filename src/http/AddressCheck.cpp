#include "http/AddressCheck.h"

#include "base/TextCase.h"

namespace relaybox {
namespace {

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// RFC 3986: a scheme is a letter followed by letters, digits, "+", "-" and ".", then ":".
// A host followed by a port ("localhost:8080/x") looks like one but is none: no scheme
// begins its rest with digits up to the path.
bool HasScheme(const Text& url) {
  if (url.empty() || !IsAsciiLetter(url[0])) return false;
  std::size_t colon = 1;
  while (colon < url.size() && (IsAsciiLetter(url[colon]) || IsDigit(url[colon]) || url[colon] == u'+' ||
                                url[colon] == u'-' || url[colon] == u'.')) {
    ++colon;
  }
  if (colon == url.size() || url[colon] != u':') return false;
  std::size_t end = colon + 1;
  while (end < url.size() && IsDigit(url[end])) ++end;
  const bool port = end > colon + 1 && (end == url.size() || url[end] == u'/' || url[end] == u'?' || url[end] == u'#');
  return !port;
}

} // namespace

std::string AddressProblem(const Text& url) {
  if (Trim(url).empty()) return "no address";
  if (!HasScheme(url)) return "not an absolute http address";
  return {};
}

} // namespace relaybox
