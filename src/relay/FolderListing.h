#pragma once

#include <string>
#include <vector>

#include "base/Text.h"

namespace relaybox {

// One directory entry whose name matches "C*.txt".
struct TListedName {
  Text Name;            // the name as text, for numbers and display
  std::string RawName;  // the name's bytes, for opening and deleting
  bool IsDirectory = false;
};

// True for a name beginning with "C" and ending in ".txt", in any letter case.
bool MatchesUpdatePattern(std::string_view rawName);

// Makes the watch folder when it is missing and checks that it can be listed and that files
// can be deleted from it; returns "" or what is wrong, naming the folder ("cannot create the
// watch folder /x/: Permission denied", "the watch folder /x is a file, not a folder").
std::string PrepareWatchFolder(const std::string& folder);

// Every entry of `folder` matching the pattern, of any kind, in the order the file system
// lists them. A folder that does not exist or cannot be read lists nothing.
std::vector<TListedName> ListUpdateFiles(const std::string& folder);

} // namespace relaybox
