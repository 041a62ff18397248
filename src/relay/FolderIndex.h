#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>

#include "relay/FolderListing.h"
#include "relay/FolderWatch.h"

namespace relaybox {

// The names in the watch folder that match the update pattern, in the order files are taken:
// the number (the six characters after the leading "C") lowest first, and on a tie the name the
// folder lists first. Folder events keep it up to date between listings. A name that came by an
// event has no place in the listing yet: a tie it takes part in is settled by listing again.
class TFolderIndex {
public:
  // What the events tell of a file's writers: it was made (and may not be written yet), or
  // written to, and not closed since; or not known, since events were lost after which it was
  // found by a listing: a writer that opened it meanwhile may still have it open.
  enum TWriter { NoWriter, Created, Written, Unknown };
  struct TKey {
    std::int32_t Number;
    std::uint64_t Rank;  // place in the last listing; Unranked for a name that came since
    std::string RawName;
    auto operator<=>(const TKey&) const = default;
  };
  struct TEntry {
    TListedName Listed;
    TWriter Writer = NoWriter;
    // Folders, and numbers from 999999 on, are never taken.
    bool MayBeTaken() const;
  };
  static constexpr std::uint64_t Unranked = UINT64_MAX;

  // `folder` is the watch folder's path with its trailing "/".
  explicit TFolderIndex(std::string folder);
  // Where the folder is listed from from now on: the same folder, reached another way.
  void SetFolder(const std::string& folder) { FFolder = folder; }

  // Lists the whole folder: its names, in listing order, replace those known; what is known of
  // the writers of names still there is kept. New names have no writer, or an Unknown one
  // when events were lost since the last listing.
  void Relist();
  std::uint64_t Listings() const { return FListings; }
  // Whether the order is known only after listing: events were dropped or the watch lost, or a
  // name that came by an event ties with another.
  bool NeedsListing() const { return FStale || FTieUnknown; }
  void MarkStale() { FStale = true; }

  void Apply(const TFolderEvent& event);
  void Remove(const std::string& rawName);
  // A name that turned out to be a folder (a link to one) is kept but never taken.
  void SetDirectory(const std::string& rawName);
  void ClearWriter(const std::string& rawName);
  TWriter WriterOf(const std::string& rawName) const;

  // Every name, candidates or not, in the order files are taken.
  const std::map<TKey, TEntry>& Entries() const { return FOrder; }
  // The name the folder lists last, as the count label shows it; lists the folder when names
  // came by events since.
  Text LastListed();

  // Told of each name that leaves the index.
  std::function<void(const std::string& rawName)> OnRemoved;

private:
  void Add(std::string_view rawName, bool isDirectory, TWriter writer);
  std::map<TKey, TEntry>::iterator Find(const std::string& rawName);

  std::string FFolder;
  std::map<TKey, TEntry> FOrder;
  std::unordered_map<std::string, std::pair<std::int32_t, std::uint64_t>> FPlaces;  // number and rank
  std::size_t FUnranked = 0;
  std::string FLast;  // the last name listed, while it is there ("" when not known)
  std::uint64_t FListings = 0;
  bool FStale = true;
  bool FTieUnknown = false;
  bool FEventsLost = false;  // since the last listing
};

} // namespace relaybox
