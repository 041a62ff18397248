#include "base/TextLineReader.h"

#include <algorithm>
#include <cstring>

namespace relaybox {
namespace {

// An update file is a few hundred bytes; a line that runs past a read doubles the next one's
// size, up to the largest.
constexpr std::size_t FirstChunk = 4 * 1024;
constexpr std::size_t LargestChunk = 256 * 1024;
constexpr char Lf = '\n';
constexpr char Cr = '\r';
constexpr char CtrlZ = 0x1A;

} // namespace

void TReadBuffer::Reserve(std::size_t size) {
  if (size <= FSize) return;
  FData = std::make_unique_for_overwrite<char[]>(size);
  FSize = size;
}

TTextLineReader::TTextLineReader(TReadFn read, std::size_t lineLimit, TReadBuffer* buffer)
    : FRead(std::move(read)), FLineLimit(lineLimit), FBuffer(buffer != nullptr ? *buffer : FOwnBuffer), FChunk(FirstChunk) {}

bool TTextLineReader::Fill() {
  if (FAtEnd) return false;
  FBuffer.Reserve(FChunk);
  FLen = FRead(FBuffer.Data(), FChunk);
  FPos = 0;
  FAtEnd = FLen == 0;
  return !FAtEnd;
}

int TTextLineReader::Peek() {
  if (FPos == FLen && !Fill()) return -1;
  return static_cast<unsigned char>(FBuffer.Data()[FPos]);
}

bool TTextLineReader::Eof() {
  const int next = Peek();
  return next == -1 || next == CtrlZ;
}

std::string TTextLineReader::ReadLine() {
  std::string line;
  if (Eof()) return line;
  bool textEnded = false;  // a 0x1A inside the line, or the line at its limit: the rest is skipped
  while (Peek() != -1) {
    const char* begin = FBuffer.Data() + FPos;
    const char* end = FBuffer.Data() + FLen;
    const char* stop = textEnded ? static_cast<const char*>(std::memchr(begin, Lf, end - begin))
                                 : std::find_if(begin, end, [](char c) { return c == Lf || c == CtrlZ; });
    if (stop == nullptr) stop = end;
    if (!textEnded) {
      const char* p = begin;
      for (; p < stop && line.size() < FLineLimit; ++p) {
        if (*p != Cr) line += *p;
      }
      if (p < stop) {
        FPos = p - FBuffer.Data();
        textEnded = true;
        continue;
      }
    }
    FPos = stop - FBuffer.Data();
    if (stop == end) {
      FChunk = std::min(FChunk * 2, LargestChunk);
      continue;
    }
    ++FPos;
    if (*stop == Lf) break;
    textEnded = true;
  }
  return line;
}

} // namespace relaybox
