#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/Stream.h"
#include "base/Text.h"
#include "http/HttpClient.h"
#include "net/WndTimer.h"

namespace relaybox {

// The hidden fetch form: one HTTP GET of an update address with a time limit, its reply body
// turned into the response text. The client, the time-out timer and the text buffer belong
// to the thread that creates the form; FetchPage is called from a worker thread and reaches
// them through that thread.
class THttpFetchForm {
public:
  // How the latest fetch ended: the reply's status and reason, or why there was none.
  struct TOutcome {
    std::int32_t StatusCode = 0;
    Text ReasonText;
    std::string Failure;  // "" for a complete reply, else "refused", "timed out after 10 s", ...
    bool NoReply = false;  // failed before any reply: unresolvable, refused, timed out, reset, cut short,
                         // a TLS handshake the server closed
    std::optional<std::chrono::seconds> RetryAfter;  // a reply's Retry-After, when in seconds
  };

  THttpFetchForm();

  // Fetches `url`, aborting after `timeoutMs`; assigns `response` only a non-empty text.
  // Returns at once while another fetch runs.
  void FetchPage(const Text& url, std::int32_t timeoutMs, Text& response);

  THttpClient HttpClient1;
  TWndTimer Timer1{&HttpClient1};
  Text Memo1 = u"Memo1\r\n";

  // Of the latest fetch; read on the form's thread once FetchPage has returned.
  const TOutcome& LastOutcome() const { return FOutcome; }
  // Of the current or latest fetch, on the form's thread: whether its request, or a redirect's,
  // went out to a server, which then may act on it whatever becomes of the reply.
  bool RequestSent() const { return FRequestSent; }
  // On the form's thread, before a fetch starts: nothing of it has gone out yet. (The fetch's
  // own start comes later, from the worker.)
  void ForgetRequest() { FRequestSent = false; }

  // At most this much of a body is kept; later bytes are dropped.
  static constexpr std::size_t BodyLimit = 8 * 1024 * 1024;

private:
  void HttpClient1DocBegin(THttpClient& sender);
  void HttpClient1DocEnd(THttpClient& sender);
  void Timer1Timer();
  void OnOwnerThread(const std::function<void()>& call);

  std::atomic<bool> FBusy{false};
  bool FTimedOut = false;  // the time-out ended the current fetch
  bool FRequestSent = false;
  TOutcome FOutcome;
  // The body of the latest reply, from body start until it is read back.
  std::optional<TMemoryStream> FBody;
};

} // namespace relaybox
