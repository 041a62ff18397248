#include "base/TextLineReader.h"

#include <algorithm>
#include <cstring>

namespace relaybox {
namespace {

constexpr std::size_t ChunkSize = 256 * 1024;
constexpr char Lf = '\n';
constexpr char Cr = '\r';
constexpr char CtrlZ = 0x1A;

} // namespace

TTextLineReader::TTextLineReader(TReadFn read, std::size_t lineLimit) : FRead(std::move(read)), FLineLimit(lineLimit) {}

bool TTextLineReader::Fill() {
  if (FAtEnd) return false;
  FBuffer.resize(ChunkSize);
  const std::size_t n = FRead(FBuffer.data(), FBuffer.size());
  FBuffer.resize(n);
  FPos = 0;
  FAtEnd = n == 0;
  return !FAtEnd;
}

int TTextLineReader::Peek() {
  if (FPos == FBuffer.size() && !Fill()) return -1;
  return static_cast<unsigned char>(FBuffer[FPos]);
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
    const char* begin = FBuffer.data() + FPos;
    const char* end = FBuffer.data() + FBuffer.size();
    const char* stop = textEnded ? static_cast<const char*>(std::memchr(begin, Lf, end - begin))
                                 : std::find_if(begin, end, [](char c) { return c == Lf || c == CtrlZ; });
    if (stop == nullptr) stop = end;
    if (!textEnded) {
      const char* p = begin;
      for (; p < stop && line.size() < FLineLimit; ++p) {
        if (*p != Cr) line += *p;
      }
      if (p < stop) {
        FPos = p - FBuffer.data();
        textEnded = true;
        continue;
      }
    }
    FPos = stop - FBuffer.data();
    if (stop == end) continue;
    ++FPos;
    if (*stop == Lf) break;
    textEnded = true;
  }
  return line;
}

} // namespace relaybox
