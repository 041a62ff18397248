#include "relay/JournalRecord.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <vector>

namespace relaybox {
namespace {

constexpr std::size_t KindLength = 5;  // "taken" and "ended"

constexpr std::array<std::uint32_t, 256> CrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}();

std::uint32_t Crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char b : bytes) crc = CrcTable[(crc ^ static_cast<unsigned char>(b)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// Every code unit comes back, unpaired surrogates included, which UTF-8 alone cannot carry.
void AppendField(std::string& out, const Text& text) {
  out.push_back('\t');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (c == u'\\') {
      out += "\\\\";
    } else if (c == u'\t') {
      out += "\\t";
    } else if (c == u'\r') {
      out += "\\r";
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || IsHighSurrogate(c) || IsLowSurrogate(c)) {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      out += escape;
    } else {
      AppendUtf8(out, c);
    }
  }
}

std::optional<Text> ReadField(std::string_view field) {
  Text text;
  std::size_t plain = 0;  // where the run of plain UTF-8 starts
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') continue;
    text += Utf8ToText(field.substr(plain, i - plain));
    if (i + 1 >= field.size()) return std::nullopt;
    switch (field[++i]) {
      case '\\': text.push_back(u'\\'); break;
      case 't': text.push_back(u'\t'); break;
      case 'r': text.push_back(u'\r'); break;
      case 'n': text.push_back(u'\n'); break;
      case 'u': {
        unsigned unit = 0;
        const char* digits = field.data() + i + 1;
        if (field.size() < i + 5 || std::from_chars(digits, digits + 4, unit, 16).ptr != digits + 4) return std::nullopt;
        text.push_back(static_cast<char16_t>(unit));
        i += 4;
        break;
      }
      default: return std::nullopt;
    }
    plain = i + 1;
  }
  text += Utf8ToText(field.substr(plain));
  return text;
}

// The seal covers all but the kind, so that a taken record can be marked ended in place.
std::string Sealed(std::string record) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "\t%08x\n", static_cast<unsigned>(Crc32(std::string_view(record).substr(KindLength))));
  return record + crc;
}

std::optional<std::uint64_t> ReadId(std::string_view digits) {
  std::uint64_t id = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  if (error != std::errc{} || end != digits.data() + digits.size() || id == 0) return std::nullopt;
  return id;
}

} // namespace

std::string TakenRecord(std::uint64_t id, const UpdateEntry& entry) {
  std::string record = "taken\t" + std::to_string(id);
  AppendField(record, entry.FileName);
  AppendField(record, entry.Site);
  AppendField(record, entry.Request);
  AppendField(record, Utf8ToText(entry.FileStamp));
  return Sealed(std::move(record));
}

std::string EndedRecord(std::uint64_t id) { return Sealed("ended\t" + std::to_string(id)); }

std::optional<TJournalRecord> ReadRecord(std::string_view line) {
  const std::size_t sealAt = line.rfind('\t');
  if (sealAt == std::string_view::npos || line.size() - sealAt != 9) return std::nullopt;
  std::uint32_t crc = 0;
  const char* digits = line.data() + sealAt + 1;
  if (std::from_chars(digits, digits + 8, crc, 16).ptr != digits + 8) return std::nullopt;
  const std::string_view record = line.substr(0, sealAt);
  if (record.size() < KindLength || Crc32(record.substr(KindLength)) != crc) return std::nullopt;

  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = record.find('\t', start);
    fields.push_back(record.substr(start, tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  TJournalRecord result;
  result.Taken = fields[0] == "taken";
  // An ended record is short, or a taken record marked ended in place.
  const bool whole = fields.size() == 6;
  if (result.Taken ? !whole : fields[0] != "ended" || (fields.size() != 2 && !whole)) return std::nullopt;
  const auto id = ReadId(fields[1]);
  if (!id) return std::nullopt;
  result.Id = *id;
  if (result.Taken) {
    auto file = ReadField(fields[2]), site = ReadField(fields[3]), request = ReadField(fields[4]),
         stamp = ReadField(fields[5]);
    if (!file || !site || !request || !stamp) return std::nullopt;
    result.Entry.FileName = std::move(*file);
    result.Entry.Site = std::move(*site);
    result.Entry.Request = std::move(*request);
    result.Entry.FileStamp = TextToUtf8(*stamp);
  }
  return result;
}

} // namespace relaybox
