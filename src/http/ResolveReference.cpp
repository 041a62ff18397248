#include "http/ResolveReference.h"

#include <string_view>

#include "base/TextCase.h"

namespace relaybox {
namespace {

// The lower-cased scheme before a reference's first ":", or empty when the text before it is
// no scheme (a letter, then letters, digits, "+", "-" or ".").
Text SchemeOf(const Text& reference) {
  const std::size_t colon = reference.find(u':');
  if (colon == Text::npos || colon == 0) return {};
  for (std::size_t i = 0; i < colon; ++i) {
    const char16_t c = reference[i] | 0x20;  // ASCII letters in lower case
    const bool letter = c >= u'a' && c <= u'z';
    const bool other = reference[i] == u'+' || reference[i] == u'-' || reference[i] == u'.' ||
                       (reference[i] >= u'0' && reference[i] <= u'9');
    if (!letter && (i == 0 || !other)) return {};
  }
  return LowerCase(reference.substr(0, colon));
}

// A path with its query: dot segments resolved in the path, which starts with "/".
Text NormalPath(const Text& pathAndQuery) {
  const std::size_t query = pathAndQuery.find(u'?');
  Text path = RemoveDotSegments(pathAndQuery.substr(0, query));
  if (path.empty() || path[0] != u'/') path.insert(0, 1, u'/');
  return query == Text::npos ? path : path + pathAndQuery.substr(query);
}

} // namespace

Text RemoveDotSegments(const Text& path) {
  Text out;
  std::size_t i = 0;
  const auto at = [&path, &i](std::u16string_view prefix) { return path.compare(i, prefix.size(), prefix) == 0; };
  const auto restIs = [&path, &i, &at](std::u16string_view rest) { return path.size() - i == rest.size() && at(rest); };
  const auto dropLastSegment = [&out] {
    const std::size_t slash = out.rfind(u'/');
    out.resize(slash == Text::npos ? 0 : slash);
  };
  while (i < path.size()) {
    if (at(u"../")) {
      i += 3;
    } else if (at(u"./") || at(u"/./")) {
      i += 2;  // "/./" leaves its last "/"
    } else if (restIs(u"/.")) {
      out += u'/';
      i = path.size();
    } else if (at(u"/../")) {
      i += 3;
      dropLastSegment();
    } else if (restIs(u"/..")) {
      dropLastSegment();
      out += u'/';
      i = path.size();
    } else if (restIs(u".") || restIs(u"..")) {
      i = path.size();
    } else {
      // The next segment, with the "/" before it.
      const std::size_t end = path.find(u'/', path[i] == u'/' ? i + 1 : i);
      const std::size_t stop = end == Text::npos ? path.size() : end;
      out.append(path, i, stop - i);
      i = stop;
    }
  }
  return out;
}

std::optional<TUrlParts> ResolveReference(const TUrlParts& base, const Text& value) {
  const std::size_t first = value.find_first_not_of(u" \t");
  if (first == Text::npos) return std::nullopt;
  Text reference = value.substr(first, value.find_last_not_of(u" \t") + 1 - first);
  reference.resize(std::min(reference.find(u'#'), reference.size()));  // the fragment is never sent

  const Text scheme = SchemeOf(reference);
  if (!scheme.empty()) {
    if (scheme != u"http" && scheme != u"https") return std::nullopt;
    reference.erase(0, scheme.size() + 1);  // "http:x" without "//" is relative, as browsers take it
    // ...but only to an address of the same protocol: "https:x" names no server to go to.
    if (scheme != base.Proto && !reference.starts_with(u"//")) return std::nullopt;
  }
  if (reference.starts_with(u"//")) {
    TUrlParts target = SplitURL(u"http:" + reference, Text());
    target.Proto = scheme.empty() ? base.Proto : scheme;
    target.Path = NormalPath(target.Path);
    return target;
  }

  TUrlParts target{base.Proto, {}, {}, base.Host, base.Port, base.Path};
  const Text basePath = base.Path.substr(0, base.Path.find(u'?'));
  if (reference.empty()) return target;
  if (reference[0] == u'/') {
    target.Path = NormalPath(reference);
  } else if (reference[0] == u'?') {
    target.Path = basePath + reference;
  } else {
    const std::size_t slash = basePath.rfind(u'/');
    target.Path = NormalPath((slash == Text::npos ? Text(u"/") : basePath.substr(0, slash + 1)) + reference);
  }
  return target;
}

} // namespace relaybox
