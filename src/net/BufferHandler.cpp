#include "net/BufferHandler.h"

#include "base/Exception.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace relaybox {

TBuffer::TBuffer(int size) : FData(static_cast<std::size_t>(size > 0 ? size : DefaultSize)) {}

int TBuffer::Write(const char* data, int len) {
  const int count = std::min(len, static_cast<int>(FData.size()) - FWrCount);
  if (count <= 0) return 0;
  std::memcpy(FData.data() + FWrCount, data, static_cast<std::size_t>(count));
  FWrCount += count;
  return count;
}

int TBuffer::Peek(const char*& data) const {
  data = FData.data() + FRdCount;
  return FWrCount - FRdCount;
}

void TBuffer::Remove(int count) {
  FRdCount += std::clamp(count, 0, FWrCount - FRdCount);
  if (FRdCount == FWrCount) Reset();
}

void TBuffer::Reset() {
  FWrCount = 0;
  FRdCount = 0;
}

void TBufferLinkedList::MoveHeadToTailOf(TBufferLinkedList& to) {
  to.FBlocks.splice(to.FBlocks.end(), FBlocks, FBlocks.begin());
}

void TBufferLinkedList::MoveHeadToFrontOf(TBufferLinkedList& to) {
  to.FBlocks.splice(to.FBlocks.begin(), FBlocks, FBlocks.begin());
}

TBufferHandler::TBufferHandler(int bufSize) : FBufSize(bufSize > 0 ? bufSize : TBuffer::DefaultSize) {}

void TBufferHandler::Write(const char* data, int len) {
  if (data == nullptr) return;
  while (len > 0) {
    if (FInUse.IsEmpty() || FInUse.Tail().IsFull()) {
      if (FFree.IsEmpty())
        FInUse.AddNewToTail(FBufSize);
      else
        FFree.MoveHeadToTailOf(FInUse);
    }
    const int stored = FInUse.Tail().Write(data, len);
    data += stored;
    len -= stored;
  }
}

int TBufferHandler::Peek(const char*& data) {
  if (FInUse.IsEmpty()) {
    data = nullptr;
    return 0;
  }
  return FInUse.Head().Peek(data);
}

void TBufferHandler::Remove(int count) {
  if (count < 0) throw EException("TBufferHandler.Remove: Invalid Len " + std::to_string(count));
  if (FInUse.IsEmpty()) throw EException("TBufferHandler.Remove: nothing to remove");
  TBuffer& head = FInUse.Head();
  head.Remove(count);
  if (head.IsEmpty()) FInUse.MoveHeadToFrontOf(FFree);
}

void TBufferHandler::Clear() {
  while (!FInUse.IsEmpty()) {
    FInUse.Head().Reset();
    FInUse.MoveHeadToFrontOf(FFree);
  }
}

} // namespace relaybox
