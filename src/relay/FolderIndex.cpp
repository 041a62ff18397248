#include "relay/FolderIndex.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "relay/Lib.h"

namespace relaybox {
namespace {

constexpr std::int32_t NoNumber = 999999;

std::int32_t NumberOf(const Text& name) { return IntValueOrZero(name.substr(1, 6)); }

} // namespace

bool TFolderIndex::TEntry::MayBeTaken() const { return !Listed.IsDirectory && NumberOf(Listed.Name) < NoNumber; }

TFolderIndex::TFolderIndex(std::string folder) : FFolder(std::move(folder)) {}

void TFolderIndex::Relist() {
  ++FListings;
  std::vector<TListedName> listing = ListUpdateFiles(FFolder);
  FLast = listing.empty() ? std::string() : listing.back().RawName;
  std::map<TKey, TEntry> order;
  std::unordered_map<std::string, std::pair<std::int32_t, std::uint64_t>> places;
  places.reserve(listing.size());
  for (std::uint64_t rank = 0; rank < listing.size(); ++rank) {
    TListedName& listed = listing[rank];
    const TWriter writer = FPlaces.contains(listed.RawName) ? WriterOf(listed.RawName)
                           : FEventsLost                     ? Unknown
                                                             : NoWriter;
    const std::int32_t number = NumberOf(listed.Name);
    places.emplace(listed.RawName, std::pair(number, rank));
    TKey key{number, rank, listed.RawName};
    order.emplace(std::move(key), TEntry{std::move(listed), writer});
  }
  for (const auto& [rawName, place] : FPlaces) {
    if (!places.contains(rawName) && OnRemoved) OnRemoved(rawName);
  }
  FOrder = std::move(order);
  FPlaces = std::move(places);
  FUnranked = 0;
  FStale = FTieUnknown = FEventsLost = false;
}

void TFolderIndex::Apply(const TFolderEvent& event) {
  const std::string rawName(event.RawName);
  switch (event.Kind) {
    case TFolderEvent::Lost:
    case TFolderEvent::Overflowed:
      // Opens and closes may have gone unseen.
      for (auto& [key, entry] : FOrder) entry.Writer = Unknown;
      FStale = FEventsLost = true;
      return;
    case TFolderEvent::Reopened:
      FStale = true;  // a listing that found nothing while the folder could not be read is redone
      return;
    case TFolderEvent::Removed:
      Remove(rawName);
      return;
    case TFolderEvent::Arrived:
      // Another file under the name: whatever was known of the one before goes.
      Remove(rawName);
      Add(rawName, event.IsDirectory, NoWriter);
      return;
    case TFolderEvent::Created:
      Add(rawName, event.IsDirectory, event.IsDirectory ? NoWriter : Created);
      return;
    case TFolderEvent::Modified:
      Add(rawName, event.IsDirectory, event.IsDirectory ? NoWriter : Written);
      return;
    case TFolderEvent::Closed:
      Add(rawName, event.IsDirectory, NoWriter);
      return;
    case TFolderEvent::Touched:
      Add(rawName, event.IsDirectory, WriterOf(rawName));
      return;
  }
}

void TFolderIndex::Add(std::string_view rawName, bool isDirectory, TWriter writer) {
  if (!MatchesUpdatePattern(rawName)) return;
  const std::string name(rawName);
  if (const auto it = Find(name); it != FOrder.end()) {
    // Made and written before it was read: the writer is there until it closes the file.
    it->second.Writer = writer == Created && it->second.Writer == Written ? Written : writer;
    return;
  }
  TListedName listed{Utf8ToText(name), name, isDirectory};
  const std::int32_t number = NumberOf(listed.Name);
  TKey key{number, Unranked, name};
  const auto it = FOrder.emplace(std::move(key), TEntry{std::move(listed), writer}).first;
  FPlaces.emplace(name, std::pair(number, Unranked));
  ++FUnranked;
  // Its place among names of the same number is where the folder lists it, not known yet.
  const bool tiesBefore = it != FOrder.begin() && std::prev(it)->first.Number == number;
  const bool tiesAfter = std::next(it) != FOrder.end() && std::next(it)->first.Number == number;
  FTieUnknown = FTieUnknown || tiesBefore || tiesAfter;
}

void TFolderIndex::Remove(const std::string& rawName) {
  const auto it = Find(rawName);
  if (it == FOrder.end()) return;
  if (it->first.Rank == Unranked) --FUnranked;
  if (rawName == FLast) FLast.clear();
  FOrder.erase(it);
  FPlaces.erase(rawName);
  if (OnRemoved) OnRemoved(rawName);
}

void TFolderIndex::SetDirectory(const std::string& rawName) {
  if (const auto it = Find(rawName); it != FOrder.end()) it->second.Listed.IsDirectory = true;
}

void TFolderIndex::ClearWriter(const std::string& rawName) {
  if (const auto it = Find(rawName); it != FOrder.end()) it->second.Writer = NoWriter;
}

TFolderIndex::TWriter TFolderIndex::WriterOf(const std::string& rawName) const {
  const auto place = FPlaces.find(rawName);
  if (place == FPlaces.end()) return NoWriter;
  return FOrder.at(TKey{place->second.first, place->second.second, rawName}).Writer;
}

Text TFolderIndex::LastListed() {
  if (FUnranked > 0) Relist();
  if (FOrder.empty()) return {};
  if (FLast.empty()) {
    const auto last = std::max_element(FOrder.begin(), FOrder.end(),
                                       [](const auto& a, const auto& b) { return a.first.Rank < b.first.Rank; });
    FLast = last->first.RawName;
  }
  return Utf8ToText(FLast);
}

std::map<TFolderIndex::TKey, TFolderIndex::TEntry>::iterator TFolderIndex::Find(const std::string& rawName) {
  const auto place = FPlaces.find(rawName);
  if (place == FPlaces.end()) return FOrder.end();
  return FOrder.find(TKey{place->second.first, place->second.second, rawName});
}

} // namespace relaybox
