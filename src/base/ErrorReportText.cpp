#include "base/ErrorReportText.h"

#include <cctype>

namespace relaybox {

Text ErrorReportText(const Text& message) {
  if (!message.empty() && message.back() > u'.') return message + u".";
  return message;
}

Text ApplicationTitle(std::string_view executablePath) {
  std::string_view name = executablePath.substr(executablePath.find_last_of('/') + 1);
  name = name.substr(0, name.find('.'));
  std::string title(name);
  for (std::size_t i = 0; i < title.size(); ++i) {
    const auto c = static_cast<unsigned char>(title[i]);
    title[i] = static_cast<char>(i == 0 ? std::toupper(c) : std::tolower(c));
  }
  return Utf8ToText(title);
}

} // namespace relaybox
