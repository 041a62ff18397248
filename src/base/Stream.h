#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace relaybox {

// A byte sink with a size that can be set back, for bodies written as they arrive.
class TStream {
public:
  virtual ~TStream() = default;
  virtual void Write(const char* data, std::size_t count) = 0;
  virtual std::int64_t Size() const = 0;
  virtual void SetSize(std::int64_t size) = 0;
};

// Keeps the bytes in memory, at most `Limit` of them; later bytes are dropped.
class TMemoryStream : public TStream {
public:
  explicit TMemoryStream(std::size_t limit = std::string().max_size()) : Limit(limit) {}

  void Write(const char* data, std::size_t count) override {
    FBytes.append(data, std::min(count, Limit - std::min(Limit, FBytes.size())));
  }
  std::int64_t Size() const override { return static_cast<std::int64_t>(FBytes.size()); }
  void SetSize(std::int64_t size) override { FBytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0))); }

  const std::string& Bytes() const { return FBytes; }

  const std::size_t Limit;

private:
  std::string FBytes;
};

} // namespace relaybox
