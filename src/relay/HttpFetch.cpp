#include "relay/HttpFetch.h"

#include "base/TextCase.h"
#include "http/AddressCheck.h"
#include "http/HttpFailureText.h"
#include "relay/Lib.h"
#include "relay/ResponseText.h"

namespace relaybox {
namespace {

// A Retry-After given in seconds; its other form, a date, is left to the usual waits.
std::optional<std::chrono::seconds> RetryAfterOf(const std::vector<Text>& header) {
  constexpr std::u16string_view Name = u"retry-after:";
  for (const Text& line : header) {
    if (!StartsWithNoCase(line, Name)) continue;
    const Text value = TrimSpaces(line.substr(Name.size()));
    if (value.empty() || value.size() > 9 || !AllDigits(value)) return std::nullopt;
    return std::chrono::seconds(IntValueOrZero(value));
  }
  return std::nullopt;
}

} // namespace

THttpFetchForm::THttpFetchForm() {
  HttpClient1.Name = u"HttpClient1";
  HttpClient1.SetMultiThreaded(true);
  HttpClient1.OnDocBegin = [this](THttpClient& sender) { HttpClient1DocBegin(sender); };
  HttpClient1.OnDocEnd = [this](THttpClient& sender) { HttpClient1DocEnd(sender); };
  HttpClient1.OnRequestHeaderBegin = [this](THttpClient&) { FRequestSent = true; };
  Timer1.SetEnabled(false);
  Timer1.SetInterval(3000);
  Timer1.SetOnTimer([this](TWndTimer&) { Timer1Timer(); });
}

void THttpFetchForm::OnOwnerThread(const std::function<void()>& call) { HttpClient1.Handle().Queue->Invoke(call); }

void THttpFetchForm::FetchPage(const Text& url, std::int32_t timeoutMs, Text& response) {
  if (FBusy.exchange(true)) return;
  // Every way out stops the time-out and frees the form, including an error before the
  // request starts: a form left busy would refuse every later fetch.
  const auto finish = [this] {
    OnOwnerThread([this] { Timer1.SetEnabled(false); });
    FBusy = false;
  };
  try {
    HttpClient1.Abort();  // drops the connection the previous fetch left open
    // An address that names no server ends the fetch here, in words a user can act on.
    const std::string problem = AddressProblem(url);
    OnOwnerThread([this, &url, &problem, timeoutMs] {
      FTimedOut = false;
      FRequestSent = false;
      FOutcome = TOutcome{};
      FOutcome.Failure = problem;
      FBody.reset();
      if (!problem.empty()) return;
      Timer1.SetInterval(static_cast<std::uint32_t>(std::max(timeoutMs, 1)));
      Timer1.SetEnabled(true);
      HttpClient1.URL = url;
      HttpClient1.Connection = u"Keep-Alive";
      HttpClient1.BodyStream = nullptr;
      HttpClient1.ModifiedSince = 0;
    });
    if (!problem.empty()) {
      finish();
      return;
    }
    try {
      HttpClient1.Get();
      Text text;
      OnOwnerThread([this, &text, timeoutMs] {
        const bool timedOut = FTimedOut && HttpClient1.Failure() == hfAborted;
        const THttpFailure failure = HttpClient1.Failure();
        // A server that closed the connection during the handshake may be restarting, as one
        // that closes it over plain http; a certificate it shows will not change by waiting.
        const bool tlsClosed = failure == hfTls && HttpClient1.TlsError().Kind == TTlsFailure::Closed;
        FOutcome = {HttpClient1.StatusCode(), HttpClient1.ReasonText(),
                    timedOut ? TimedOutText(std::chrono::milliseconds(timeoutMs)) : HttpFailureText(HttpClient1),
                    timedOut || failure == hfLookup || failure == hfConnect || failure == hfClosed || tlsClosed,
                    failure == hfNone ? RetryAfterOf(HttpClient1.ReceivedHeader()) : std::nullopt};
        // What came of a reply that was cut off, by the time limit or the program ending, is none.
        if (HttpClient1.Failure() == hfAborted) FBody.reset();
        if (!FBody) return;           // no body arrived
        // A body that filled the limit may end inside a character.
        text = ResponseText(FBody->Bytes(), HttpClient1.ContentType(), FBody->Bytes().size() >= BodyLimit);
        FBody.reset();
        // A copy of its own size: a short text after a long one gives the long one's memory back.
        Memo1 = Text(text);
      });
      if (!text.empty()) response = std::move(text);
    } catch (const std::exception&) {
      OnOwnerThread([this, failure = CurrentErrorText()] {
        FOutcome = TOutcome{};
        FOutcome.Failure = failure;
        HttpClient1DocEnd(HttpClient1);
      });
    }
  } catch (...) {
    FOutcome = TOutcome{};
    FOutcome.Failure = CurrentErrorText();  // read only after FetchBusy is cleared
    finish();
    throw;
  }
  finish();
}

void THttpFetchForm::HttpClient1DocBegin(THttpClient& sender) {
  if (sender.RelocationPending()) return;  // the body of a redirect that is followed is not the reply
  FBody.emplace(BodyLimit);
  sender.BodyStream = &*FBody;
}

void THttpFetchForm::HttpClient1DocEnd(THttpClient& sender) { sender.BodyStream = nullptr; }

void THttpFetchForm::Timer1Timer() {
  FTimedOut = FTimedOut || HttpClient1.State() != httpReady;
  HttpClient1.Abort();
}

} // namespace relaybox
