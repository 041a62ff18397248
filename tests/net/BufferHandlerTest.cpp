#include "net/BufferHandler.h"

#include "base/Exception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace relaybox {
namespace {

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

// Takes everything out of the buffer head block by head block, as the sender does.
std::string Drain(TBufferHandler& buffer, std::vector<int>& chunks) {
  std::string out;
  for (int guard = 0; guard < 1000 && !buffer.IsEmpty(); ++guard) {
    const char* data = nullptr;
    const int count = buffer.Peek(data);
    chunks.push_back(count);
    out.append(data, static_cast<std::size_t>(count));
    buffer.Remove(count);
  }
  return out;
}

TEST(BufferHandlerTest, BytesComeOutInOrderInBlocks) {
  TBufferHandler buffer;
  const auto lock = buffer.Lock();
  const std::string in = Pattern(5000);
  buffer.Write(in.data(), 1000);  // a second write continues the tail block
  buffer.Write(in.data() + 1000, 4000);
  EXPECT_EQ(buffer.BlockCount(), 4u);
  std::vector<int> chunks;
  EXPECT_EQ(Drain(buffer, chunks), in);
  EXPECT_EQ(chunks, (std::vector<int>{1460, 1460, 1460, 620}));
  EXPECT_EQ(buffer.FreeCount(), 4u);
}

TEST(BufferHandlerTest, PartialRemovesKeepTheRestOfTheBlock) {
  TBufferHandler buffer;
  const std::string in = Pattern(2000);
  buffer.Write(in.data(), 2000);
  buffer.Remove(0);
  buffer.Remove(100);
  const char* data = nullptr;
  ASSERT_EQ(buffer.Peek(data), 1360);
  EXPECT_EQ(std::string(data, 1360), in.substr(100, 1360));
  buffer.Remove(5000);  // cut to the head block
  ASSERT_EQ(buffer.Peek(data), 540);
  EXPECT_EQ(std::string(data, 540), in.substr(1460));
  EXPECT_EQ(buffer.FreeCount(), 1u);
}

TEST(BufferHandlerTest, SpareBlocksAreReusedBeforeNewOnes) {
  TBufferHandler buffer(100);
  const std::string in = Pattern(350);
  buffer.Write(in.data(), 350);
  buffer.Remove(30);
  buffer.Clear();
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_EQ(buffer.FreeCount(), 4u);
  // A cleared partly-read block starts over empty.
  buffer.Write(in.data(), 350);
  EXPECT_EQ(buffer.BlockCount(), 4u);
  EXPECT_EQ(buffer.FreeCount(), 0u);
  std::vector<int> chunks;
  EXPECT_EQ(Drain(buffer, chunks), in);
  EXPECT_EQ(chunks, (std::vector<int>{100, 100, 100, 50}));
  buffer.Write(in.data(), 150);
  EXPECT_EQ(buffer.BlockCount() + buffer.FreeCount(), 4u);
}

TEST(BufferHandlerTest, NonPositiveSizeMeansDefault) {
  EXPECT_EQ(TBufferHandler(0).BufSize(), 1460);
  EXPECT_EQ(TBufferHandler(-5).BufSize(), 1460);
  TBuffer block(0);
  const std::string in = Pattern(2000);
  EXPECT_EQ(block.Write(in.data(), 2000), 1460);
  EXPECT_TRUE(block.IsFull());
}

TEST(BufferHandlerTest, RemoveRejectsBadRequests) {
  TBufferHandler buffer;
  const auto message = [&](int count) {
    try {
      buffer.Remove(count);
    } catch (const EException& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message(0), "TBufferHandler.Remove: nothing to remove");
  buffer.Write("abc", 3);
  EXPECT_EQ(message(-1), "TBufferHandler.Remove: Invalid Len -1");
  EXPECT_FALSE(buffer.IsEmpty());
}

TEST(BufferHandlerTest, EmptyWritesStoreNothing) {
  TBufferHandler buffer;
  buffer.Write(nullptr, 10);
  buffer.Write("abc", 0);
  buffer.Write("abc", -3);
  EXPECT_TRUE(buffer.IsEmpty());
  const char* data = "x";
  EXPECT_EQ(buffer.Peek(data), 0);
  EXPECT_EQ(data, nullptr);
}

} // namespace
} // namespace relaybox
