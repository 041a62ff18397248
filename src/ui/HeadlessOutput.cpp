#include "ui/HeadlessOutput.h"

#include <cstdio>

namespace relaybox {
namespace {

std::string Field(const Text& text) {
  Text field = text;
  for (char16_t& c : field) {
    if (c < u' ' || c == u'\x7F') c = u' ';
  }
  return TextToUtf8(field);
}

std::string Record(std::initializer_list<std::string> fields) {
  std::string line;
  for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + field;
  return line;
}

} // namespace

std::string StatusLine(const Text& text) {
  Text line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
    line.push_back(text[i] == u'\r' || text[i] == u'\n' ? u' ' : text[i]);
  }
  return TextToUtf8(line);
}

std::string DeliveryLine(const TDeliveryReport& report) {
  const THttpFetchForm::TOutcome& outcome = report.Outcome;
  const std::string result = outcome.Failure.empty()
                                 ? std::to_string(outcome.StatusCode) + " " + Field(outcome.ReasonText)
                                 : "failed: " + outcome.Failure;
  return Record({"delivery", Field(report.FileName), Field(report.Site), Field(report.Request), result,
                 std::to_string(report.Duration.count()) + " ms"});
}

std::string PassedOverLine(const Text& name, const std::string& reason) {
  return Record({"passed over", Field(name), reason});
}

void WriteLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

} // namespace relaybox
