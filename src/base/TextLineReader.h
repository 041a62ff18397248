#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace relaybox {

// A read buffer that outlives the files read through it: allocated once, never zero-filled,
// grown only while a long line is read.
class TReadBuffer {
public:
  char* Data() { return FData.get(); }
  // Makes room for `size` bytes; what the buffer held is not kept when it grows.
  void Reserve(std::size_t size);

private:
  std::unique_ptr<char[]> FData;
  std::size_t FSize = 0;
};

// Reads lines of a text file, byte by byte, by the rules of the update files: a line ends
// at LF or CR LF, a CR not followed by LF is dropped without ending the line, a 0x1A that
// begins a line ends the file, a 0x1A inside a line ends its text and the rest of that line
// is skipped. No byte-order mark is recognised. A line keeps at most `lineLimit` bytes; the
// rest of a longer one is skipped unread, by a search for its end.
class TTextLineReader {
public:
  // Fills up to `size` bytes and returns how many; 0 means the end. Errors are thrown.
  using TReadFn = std::function<std::size_t(char* buffer, std::size_t size)>;

  // Reads through `buffer` when one is given, else through a buffer of its own.
  explicit TTextLineReader(TReadFn read, std::size_t lineLimit = std::string::npos, TReadBuffer* buffer = nullptr);

  // True at the end of the data or at a 0x1A that begins a line.
  bool Eof();
  // The next line's bytes without its line end; empty at the end of the file.
  std::string ReadLine();

private:
  bool Fill();
  int Peek();

  TReadFn FRead;
  const std::size_t FLineLimit;
  TReadBuffer FOwnBuffer;
  TReadBuffer& FBuffer;
  std::size_t FChunk;    // bytes asked for per read: small for the usual file, more for a long line
  std::size_t FLen = 0;  // bytes the buffer holds
  std::size_t FPos = 0;
  bool FAtEnd = false;
};

} // namespace relaybox
