#include "Linking/LinksInDoubt.h"

#include <algorithm>

void LinksInDoubt::Remember(const std::string& eos_id, int row_id) {
  std::erase_if(rows_, [&](const auto& entry) { return entry.first == eos_id; });
  if (rows_.size() >= kMostRemembered) rows_.erase(rows_.begin());
  rows_.emplace_back(eos_id, row_id);
}

LinkInDoubt LinksInDoubt::Decide(IDatabase& store, const std::string& eos_id) {
  const auto found = std::find_if(rows_.begin(), rows_.end(),
                                  [&](const auto& entry) { return entry.first == eos_id; });
  if (found == rows_.end()) return LinkInDoubt::None;
  const bool landed = store.IsRowLinkedTo(found->second, eos_id);
  if (store.LastAnswer() != StoreAnswer::Known) return LinkInDoubt::Undecided;
  rows_.erase(found);
  return landed ? LinkInDoubt::Landed : LinkInDoubt::DidNotLand;
}
