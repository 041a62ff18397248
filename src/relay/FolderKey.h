#pragma once

#include <string>

namespace relaybox {

// The watch folder's path written one way however it is given: relative, with "./" or through
// a link; with a trailing "/".
std::string CanonicalFolderPath(const std::string& folder);

// A short, stable name for a canonical folder path: 16 hex digits of its FNV-1a hash. Files
// that belong to one watch folder (its path lock, its journal) are named with it.
std::string PathKey(const std::string& canonicalPath);

// PathKey(CanonicalFolderPath(folder)).
std::string FolderPathKey(const std::string& folder);

} // namespace relaybox
