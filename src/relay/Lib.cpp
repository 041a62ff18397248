#include "relay/Lib.h"

#include <algorithm>
#include <exception>
#include <limits>

namespace relaybox {
namespace {

constexpr std::size_t MaxPositiveDigits = 9;
constexpr std::size_t NegativeDigitsChecked = 99;

Text TrimControlAndSpaces(const Text& s) {
  const auto keep = [](char16_t c) { return c > u' '; };
  const auto first = std::find_if(s.begin(), s.end(), keep);
  const auto last = std::find_if(s.rbegin(), s.rend(), keep).base();
  return first < last ? Text(first, last) : Text();
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

} // namespace

Text TrimSpaces(const Text& s) {
  const std::size_t first = s.find_first_not_of(u' ');
  if (first == Text::npos) return Text();
  return s.substr(first, s.find_last_not_of(u' ') - first + 1);
}

bool AllDigits(const Text& s) {
  const Text trimmed = TrimSpaces(s);
  return std::all_of(trimmed.begin(), trimmed.end(), IsDigit);
}

std::int32_t IntValueOrZero(const Text& s) {
  const Text t = TrimControlAndSpaces(s);
  const bool positive = t.size() <= MaxPositiveDigits && AllDigits(t);
  const bool negative =
      t.size() >= 2 && t[0] == u'-' && AllDigits(t.substr(1, NegativeDigitsChecked));
  if (!positive && !negative) return 0;

  // The decimal conversion accepts only a plain run of digits after the optional sign; the
  // checks above let spaces and unchecked characters through, and those convert to 0.
  const std::size_t start = negative ? 1 : 0;
  if (!std::all_of(t.begin() + start, t.end(), IsDigit)) return 0;
  // Accumulate with saturation: a long digit run must not overflow.
  constexpr std::int64_t Limit = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  std::int64_t magnitude = 0;
  for (std::size_t i = start; i < t.size(); ++i) {
    magnitude = std::min(Limit, magnitude * 10 + (t[i] - u'0'));
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(magnitude);
}

std::string CurrentErrorText() {
  try {
    throw;
  } catch (const std::exception& error) {
    return "error (" + std::string(error.what()) + ")";
  } catch (...) {
    return "error";
  }
}

} // namespace relaybox
