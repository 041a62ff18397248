#include "relay/FolderKey.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace relaybox {

std::string CanonicalFolderPath(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::path key = std::filesystem::weakly_canonical(folder, ignored);
  if (key.empty()) key = std::filesystem::absolute(folder, ignored).lexically_normal();
  return (key / "").string();
}

std::string PathKey(const std::string& canonicalPath) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : canonicalPath) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char key[17];
  std::snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(hash));
  return key;
}

std::string FolderPathKey(const std::string& folder) { return PathKey(CanonicalFolderPath(folder)); }

} // namespace relaybox
