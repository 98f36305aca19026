#include "Linking/LinksInDoubt.h"

#include <algorithm>

void LinksInDoubt::Remember(const std::string& eos_id, int row_id) {
  std::erase_if(rows_, [&](const auto& entry) { return entry.first == eos_id; });
  if (rows_.size() >= kMostRemembered) rows_.erase(rows_.begin());
  rows_.emplace_back(eos_id, row_id);
}

StoreTask<LinkInDoubt> LinksInDoubt::Decide(IDatabase& store, std::string eos_id) {
  const auto of_player = [&](const auto& entry) { return entry.first == eos_id; };
  const auto found = std::find_if(rows_.begin(), rows_.end(), of_player);
  if (found == rows_.end()) co_return LinkInDoubt::None;
  const int row_id = found->second;
  const Answered<bool> landed = co_await store.IsRowLinkedTo(row_id, eos_id);
  if (!landed.Known()) co_return LinkInDoubt::Undecided;
  std::erase_if(rows_, of_player);
  co_return landed.value ? LinkInDoubt::Landed : LinkInDoubt::DidNotLand;
}
