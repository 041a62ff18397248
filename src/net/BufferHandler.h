#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <vector>

namespace relaybox {

// One block of outgoing bytes. The unread bytes lie between the read and the write count;
// when a read catches up with the write count both return to 0.
class TBuffer {
public:
  static constexpr int DefaultSize = 1460;

  explicit TBuffer(int size);  // a size of 0 or less means DefaultSize

  // Stores as many of the len bytes as fit; returns how many were stored.
  int Write(const char* data, int len);
  // The unread bytes: sets data to their start and returns their count.
  int Peek(const char*& data) const;
  // Marks up to count unread bytes as read (a larger count is cut to what is unread).
  void Remove(int count);
  void Reset();
  bool IsEmpty() const { return FRdCount == FWrCount; }
  bool IsFull() const { return FWrCount == static_cast<int>(FData.size()); }

private:
  std::vector<char> FData;
  int FWrCount = 0;
  int FRdCount = 0;
};

// A list of blocks with head and tail that owns its blocks. Blocks move between lists by
// relinking, so moving one never allocates.
class TBufferLinkedList {
public:
  bool IsEmpty() const { return FBlocks.empty(); }
  std::size_t Count() const { return FBlocks.size(); }
  TBuffer& Head() { return FBlocks.front(); }
  TBuffer& Tail() { return FBlocks.back(); }

  void AddNewToTail(int size) { FBlocks.emplace_back(size); }
  void MoveHeadToTailOf(TBufferLinkedList& to);
  void MoveHeadToFrontOf(TBufferLinkedList& to);

private:
  std::list<TBuffer> FBlocks;
};

// The queue of bytes waiting to be sent: blocks in use plus a free list of spare blocks that
// are reused before new ones are allocated. Every operation except Lock expects the caller
// to hold the lock returned by Lock, so that a caller can keep it across several steps.
class TBufferHandler {
public:
  explicit TBufferHandler(int bufSize = TBuffer::DefaultSize);

  [[nodiscard]] std::unique_lock<std::mutex> Lock() { return std::unique_lock(FLock); }

  int BufSize() const { return FBufSize; }
  // Appends len bytes: fills the tail block, then takes spare blocks, then new ones.
  void Write(const char* data, int len);
  // The unread bytes of the head block (data is null and the result 0 when empty).
  int Peek(const char*& data);
  // Removes up to count bytes from the head block; a block that becomes empty goes to the
  // front of the free list. Throws EException on a negative count or an empty buffer.
  void Remove(int count);
  // Moves every block to the free list.
  void Clear();
  bool IsEmpty() const { return FInUse.IsEmpty(); }

  std::size_t BlockCount() const { return FInUse.Count(); }
  std::size_t FreeCount() const { return FFree.Count(); }

private:
  std::mutex FLock;
  int FBufSize;
  TBufferLinkedList FInUse;
  TBufferLinkedList FFree;
};

} // namespace relaybox
