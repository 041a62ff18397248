#include "relay/ResponseText.h"

#include <cstdint>
#include <cstring>

#include "base/CodePage.h"

namespace relaybox {
namespace {

enum class TCharset { None, Utf8, Other };

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimBlanks(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::u16string_view text, std::u16string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i] >= u'A' && text[i] <= u'Z' ? static_cast<char16_t>(text[i] - u'A' + u'a') : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// The charset parameter of a Content-Type value ("text/plain; charset=\"UTF-8\""): parameters
// are split at semicolons outside quotes, a quoted value loses its quotes and escapes, and
// blanks around names and values do not count.
TCharset NamedCharset(std::u16string_view type) {
  std::size_t i = type.find(u';');
  while (i < type.size()) {
    const std::size_t nameStart = ++i;
    while (i < type.size() && type[i] != u'=' && type[i] != u';') ++i;
    const std::u16string_view name = TrimBlanks(type.substr(nameStart, i - nameStart));
    Text value;
    if (i < type.size() && type[i] == u'=') {
      for (++i; i < type.size() && IsBlank(type[i]);) ++i;
      if (i < type.size() && type[i] == u'"') {
        for (++i; i < type.size() && type[i] != u'"'; ++i) {
          if (type[i] == u'\\' && i + 1 < type.size()) ++i;
          value.push_back(type[i]);
        }
        while (i < type.size() && type[i] != u';') ++i;  // past the closing quote
      } else {
        const std::size_t valueStart = i;
        while (i < type.size() && type[i] != u';') ++i;
        value = type.substr(valueStart, i - valueStart);
      }
    }
    if (EqualsNoCase(name, u"charset")) {
      const std::u16string_view charset = TrimBlanks(value);
      if (charset.empty()) return TCharset::None;
      return EqualsNoCase(charset, u"utf-8") || EqualsNoCase(charset, u"utf8") ? TCharset::Utf8 : TCharset::Other;
    }
  }
  return TCharset::None;
}

// The length of the run of bytes from 0x0E to 0x7F that `bytes` starts with: ASCII that UTF-8
// and the code page read alike, with no line break and no U+0000, so shown as it is. Eight
// bytes are tested at a time; a word flags a byte of 0x80 or above, or one below 0x0E (by its
// borrow).
std::size_t PlainRun(std::string_view bytes) {
  constexpr std::uint64_t Ones = 0x0101010101010101, High = 0x8080808080808080;
  std::size_t n = 0;
  for (std::uint64_t word = 0; n + 8 <= bytes.size(); n += 8) {
    std::memcpy(&word, bytes.data() + n, 8);
    if (((word | (word - 0x0E * Ones)) & High) != 0) break;
  }
  while (n < bytes.size() && bytes[n] > '\r' && static_cast<unsigned char>(bytes[n]) < 0x80) ++n;
  return n;
}

// The shown text: every line break (CR LF, CR or LF) one CR LF, U+0000 a blank. The same
// decoding runs twice, first only counting (`Write` false) so that the text is allocated once
// at its exact size, then writing.
template <bool Write>
class TShownText {
public:
  TShownText() = default;
  explicit TShownText(std::size_t length) : FText(length, u'\0'), FEnd(FText.data()) {}

  void Put(char16_t c) {
    if (c > u'\r') {  // no line break and no U+0000: the common case, kept short
      Emit(c);
      FAfterCr = false;
      return;
    }
    if (c == u'\n' && FAfterCr) {  // the second half of a CR LF
      FAfterCr = false;
      return;
    }
    FAfterCr = c == u'\r';
    if (c == u'\r' || c == u'\n') {
      Emit(u'\r');
      Emit(u'\n');
    } else {
      Emit(c == u'\0' ? u' ' : c);
    }
  }
  void PutCodePoint(char32_t cp) {
    if (cp < 0x10000) return Put(static_cast<char16_t>(cp));
    cp -= 0x10000;
    Put(static_cast<char16_t>(0xD800 + (cp >> 10)));
    Put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
  // A run that PlainRun found.
  void PutPlain(std::string_view run) {
    if (run.empty()) return;
    if constexpr (Write) {
      for (const char b : run) *FEnd++ = static_cast<char16_t>(b);
    } else {
      FLength += run.size();
    }
    FAfterCr = false;
  }

  std::size_t Length() const { return FLength; }
  Text Take() {
    FText.resize(static_cast<std::size_t>(FEnd - FText.data()));  // the same size, as counted
    return std::move(FText);
  }

private:
  void Emit(char16_t c) {
    if constexpr (Write) {
      *FEnd++ = c;
    } else {
      ++FLength;
    }
  }

  Text FText;
  char16_t* FEnd = nullptr;
  std::size_t FLength = 0;
  bool FAfterCr = false;
};

// One UTF-8 sequence at the start of `bytes`. A malformed one is as long as its valid start
// (at least its first byte); `CutOff` says that start ran into the end of the bytes.
struct TUtf8Sequence {
  char32_t CodePoint = 0;
  std::size_t Length = 1;
  bool Valid = false;
  bool CutOff = false;
};

TUtf8Sequence NextUtf8(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return {lead, 1, true, false};
  std::size_t extra = 0;
  char32_t cp = 0;
  // The second byte's range rules out overlong forms, surrogates and code points above U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {};
  }
  for (std::size_t n = 1; n <= extra; ++n) {
    if (n == bytes.size()) return {0, n, false, true};
    const auto next = static_cast<unsigned char>(bytes[n]);
    if (next < low || next > high) return {0, n, false, false};
    cp = cp << 6 | (next & 0x3F);
    low = 0x80, high = 0xBF;
  }
  return {cp, extra + 1, true, false};
}

// Decodes UTF-8. A malformed sequence ends the decoding with false when `strict`, else it
// shows as U+FFFD. A sequence cut off at the end is dropped when the body is truncated.
template <bool Write>
bool PutUtf8(TShownText<Write>& out, std::string_view bytes, bool strict, bool truncated) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::string_view rest(bytes.data() + i, bytes.size() - i);
    const std::size_t plain = PlainRun(rest);
    out.PutPlain(rest.substr(0, plain));
    i += plain;
    if (i == bytes.size()) break;
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      out.Put(static_cast<char16_t>(bytes[i++]));
      continue;
    }
    const TUtf8Sequence sequence = NextUtf8(rest.substr(plain));
    i += sequence.Length;
    if (sequence.Valid) {
      out.PutCodePoint(sequence.CodePoint);
    } else if (sequence.CutOff && truncated) {
      break;
    } else if (strict) {
      return false;
    } else {
      out.Put(u'\uFFFD');
    }
  }
  return true;
}

template <bool Write>
void PutAnsi(TShownText<Write>& out, std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::string_view rest(bytes.data() + i, bytes.size() - i);
    const std::size_t plain = PlainRun(rest);
    out.PutPlain(rest.substr(0, plain));
    i += plain;
    if (i == bytes.size()) break;
    const auto byte = static_cast<unsigned char>(bytes[i]);
    out.Put(byte < 0x80 ? static_cast<char16_t>(byte) : AnsiToChar(byte));
  }
}

template <bool Write>
void PutUtf16(TShownText<Write>& out, std::string_view bytes, bool bigEndian) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {  // an odd last byte is no character
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    out.Put(static_cast<char16_t>(bigEndian ? first << 8 | second : second << 8 | first));
  }
}

enum class TEncoding { Utf16LE, Utf16BE, Utf8, Ansi };

template <bool Write>
void Put(TShownText<Write>& out, TEncoding encoding, std::string_view bytes, bool truncated) {
  switch (encoding) {
    case TEncoding::Utf16LE: return PutUtf16(out, bytes, false);
    case TEncoding::Utf16BE: return PutUtf16(out, bytes, true);
    case TEncoding::Utf8: PutUtf8(out, bytes, false, truncated); return;
    case TEncoding::Ansi: return PutAnsi(out, bytes);
  }
}

} // namespace

Text ResponseText(std::string_view body, std::u16string_view contentType, bool truncated) {
  TEncoding encoding = TEncoding::Ansi;
  TShownText<false> counted;
  bool isCounted = false;
  if (body.starts_with("\xFF\xFE") || body.starts_with("\xFE\xFF")) {
    encoding = body[0] == '\xFF' ? TEncoding::Utf16LE : TEncoding::Utf16BE;
    body.remove_prefix(2);
  } else if (body.starts_with("\xEF\xBB\xBF")) {
    encoding = TEncoding::Utf8;
    body.remove_prefix(3);
  } else if (const TCharset charset = NamedCharset(contentType); charset == TCharset::Utf8) {
    encoding = TEncoding::Utf8;
  } else if (charset == TCharset::None) {
    // Counting as strict UTF-8 tells whether the body is UTF-8 at all.
    isCounted = PutUtf8(counted, body, true, truncated);
    if (isCounted) encoding = TEncoding::Utf8;
  }
  if (!isCounted) {
    counted = {};
    Put(counted, encoding, body, truncated);
  }
  TShownText<true> text(counted.Length());
  Put(text, encoding, body, truncated);
  return text.Take();
}

} // namespace relaybox
