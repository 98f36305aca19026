#include "VeltraneLinksInDoubt.h"

#include <algorithm>

void LinksInDoubt::Remember(const std::string& eos_id, const std::string& code) {
  Forget(eos_id);
  if (codes_.size() >= kMostRemembered) codes_.erase(codes_.begin());
  codes_.emplace_back(eos_id, code);
}

std::optional<std::string> LinksInDoubt::Find(const std::string& eos_id) const {
  const auto found = std::find_if(codes_.begin(), codes_.end(),
                                  [&](const auto& entry) { return entry.first == eos_id; });
  if (found == codes_.end()) return std::nullopt;
  return found->second;
}

void LinksInDoubt::Forget(const std::string& eos_id) {
  std::erase_if(codes_, [&](const auto& entry) { return entry.first == eos_id; });
}
