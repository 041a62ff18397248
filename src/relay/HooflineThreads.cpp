#include "relay/HooflineThreads.h"

#include "relay/SendCycleState.h"

namespace relaybox {

HTTPThread::HTTPThread(THttpFetchForm& form, std::function<void()> done)
    : FForm(form), FStarter(TMessageQueue::ForCurrentThread()), FDone(std::move(done)), FThread([this] { Execute(); }) {}

HTTPThread::~HTTPThread() { FThread.join(); }

void HTTPThread::Execute() {
  Text response;
  try {
    FForm.FetchPage(FetchURL, FetchTimeoutMs, response);
  } catch (...) {
    // A fetch that failed before its request started counts as one without a response;
    // the send cycle waits on the flag below and must always see it cleared.
  }
  FetchResponse = std::move(response);
  FetchResponse.shrink_to_fit();  // as little as it needs, whatever the previous one held
  FetchBusy.store(false, std::memory_order_release);
  TMessage wake;
  wake.Call = FDone;
  FStarter->Post(std::move(wake));
}

} // namespace relaybox
