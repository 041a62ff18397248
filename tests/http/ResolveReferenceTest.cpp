#include "http/ResolveReference.h"

#include <gtest/gtest.h>

namespace relaybox {
namespace {

// Against the request http://a/b/c/d;p?q, with the examples RFC 3986 section 5.4 resolves.
TEST(ResolveReferenceTest, ResolvesAsRfc3986Does) {
  const TUrlParts base{u"http", {}, {}, u"a", u"80", u"/b/c/d;p?q"};
  const std::pair<Text, const char*> cases[] = {
      {u"g", "a:80/b/c/g"},           {u"./g", "a:80/b/c/g"},          {u"g/", "a:80/b/c/g/"},
      {u"/g", "a:80/g"},              {u"//g", "g:/"},                 {u"?y", "a:80/b/c/d;p?y"},
      {u"g?y", "a:80/b/c/g?y"},       {u"#s", "a:80/b/c/d;p?q"},       {u"g#s", "a:80/b/c/g"},
      {u";x", "a:80/b/c/;x"},         {u".", "a:80/b/c/"},             {u"..", "a:80/b/"},
      {u"../g", "a:80/b/g"},          {u"../..", "a:80/"},             {u"../../../g", "a:80/g"},
      {u"/./g", "a:80/g"},            {u"/../g", "a:80/g"},            {u"g.", "a:80/b/c/g."},
      {u"..g", "a:80/b/c/..g"},       {u"./g/.", "a:80/b/c/g/"},       {u"g/../h", "a:80/b/c/h"},
      {u"g;x=1/../y", "a:80/b/c/y"},  {u"g?y/../x", "a:80/b/c/g?y/../x"}, {u"http:g", "a:80/b/c/g"},
      // Absolute forms: the protocol in any case, the port only where one is named.
      {u"HTTP://Host.example:8080/x/./y/../z?k=v#f", "Host.example:8080/x/z?k=v"},
      {u"http://h", "h:/"},
      {u"//h:81?q", "h:81/?q"},
      {u"http://[::1]:8080/x", "[::1]:8080/x"},
      {u"//[2001:db8::7]/../y", "[2001:db8::7]:/y"},
      // Blanks around the value are no part of it.
      {u" \t/spaced \t", "a:80/spaced"},
      // Not followed: nothing there, or another protocol.
      {u"", ""}, {u"  ", ""}, {u"https:g", ""}, {u"ftp://h/x", ""}, {u"mailto:x@h", ""}, {u"g:h", ""},
  };
  for (const auto& [reference, expected] : cases) {
    const std::optional<TUrlParts> target = ResolveReference(base, reference);
    const std::string got = target ? TextToUtf8(target->Host + u":" + target->Port + target->Path) : "";
    EXPECT_EQ(got, expected) << TextToUtf8(reference);
    if (target) {
      EXPECT_EQ(target->Proto, u"http");
    }
  }
}

// A redirect may move between http and https; "//host" keeps the protocol of the request.
TEST(ResolveReferenceTest, HttpsAndHttpLeadToEachOther) {
  const struct {
    Text BaseProto;
    Text Reference;
    const char* Expected;  // protocol, host, port and path
  } cases[] = {
      {u"http", u"https://h/x", "https h:/x"},        {u"https", u"http://h:81/", "http h:81/"},
      {u"https", u"//g/y", "https g:/y"},             {u"https", u"/z", "https a:443/z"},
      {u"http", u"HTTPS://h", "https h:/"},          {u"https", u"https:rel", "https a:443/rel"},
  };
  for (const auto& c : cases) {
    const TUrlParts base{c.BaseProto, {}, {}, u"a", c.BaseProto == u"http" ? u"80" : u"443", u"/"};
    const std::optional<TUrlParts> target = ResolveReference(base, c.Reference);
    const std::string got = target ? TextToUtf8(target->Proto + u" " + target->Host + u":" + target->Port + target->Path) : "";
    EXPECT_EQ(got, c.Expected) << TextToUtf8(c.Reference);
  }
}

} // namespace
} // namespace relaybox
