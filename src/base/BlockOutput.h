#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>

namespace relaybox {

// An output written in blocks that go out whole or not yet. Before a block is written the
// output says how much it takes without blocking, so that a reader who stops reading leaves
// the writer between two blocks, never in the middle of one, and a process that ends then
// leaves no block cut. A pipe's room is what its pages have free, a stream socket's what its
// send buffer has free; a terminal paused with Ctrl-S takes nothing, and otherwise, like a
// file, whatever comes.
class TBlockOutput {
public:
  // Writes to a copy of `fd`, which the caller keeps. A pipe's capacity is raised towards
  // 1 MiB where the system allows.
  explicit TBlockOutput(int fd);
  ~TBlockOutput();
  TBlockOutput(const TBlockOutput&) = delete;
  TBlockOutput& operator=(const TBlockOutput&) = delete;

  struct TRoom {
    std::size_t Now = 0;   // bytes a write takes now without blocking
    std::size_t Most = 0;  // Now once the reader has taken everything
  };
  // A block larger than Most can never go at once: it is best started when Now == Most, and
  // then the write may wait for the reader halfway.
  TRoom Room();

  // Writes all of `bytes`; false when the output takes no more (its reader went away).
  bool Write(std::string_view bytes);

private:
  enum class TKind { Pipe, StreamSocket, Other };

  TRoom PipeRoom();
  TRoom SocketRoom();

  int FFd = -1;
  TKind FKind = TKind::Other;
  std::size_t FPage = 4096;
  // Where each write to a pipe ended, counted in bytes written since the start, as long as
  // the reader has not taken all of it: each such write may leave a page partly empty.
  std::uint64_t FWritten = 0;
  std::deque<std::uint64_t> FWriteEnds;
};

} // namespace relaybox
