#pragma once
// Whether the store may talk to its database now, and to which server. Every statement runs on
// the game thread, so while the servers are unreachable the store must not wait on the network
// for each one: once every server has failed, a cool-down starts during which the store answers
// at once that it could not ask; after it, one statement tries again. The cool-down doubles with
// each failed round, up to a limit, and a success ends the outage.
//
// A failed server hands over to the next one in the list at once; the cool-down starts only when
// every server has failed since the last success. Time is passed in, so the type holds no clock.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Database/ServerList.h"

namespace veltrane {

struct CoolDownPolicy {
  std::chrono::milliseconds first{std::chrono::seconds(5)};
  std::chrono::milliseconds longest{std::chrono::seconds(60)};
};

class ServerAvailability {
 public:
  using Clock = std::chrono::steady_clock;

  // What a failure meant.
  struct Failure {
    bool counted = false;         // the failure was the current server's, and counts
    bool outage_started = false;  // the first failure since the last success
    bool cool_down_started = false;
    bool switched = false;  // Current() is now another server
  };

  explicit ServerAvailability(std::vector<DatabaseServer> servers, CoolDownPolicy policy = {})
      : servers_(std::move(servers)), policy_(policy) {
    if (servers_.empty()) throw std::invalid_argument("no database server");
  }

  // The server the next connection goes to.
  const DatabaseServer& Current() const { return servers_[current_]; }
  std::size_t ServerCount() const { return servers_.size(); }

  // False while a cool-down lasts: the store must not touch the network.
  bool MayTry(Clock::time_point now) const { return now >= cool_down_until_; }

  bool InOutage() const { return in_outage_; }

  // A statement was answered by the current server. When this ends an outage, how long it lasted.
  std::optional<Clock::duration> Succeeded(Clock::time_point now) {
    failed_in_round_ = 0;
    cool_down_until_ = Clock::time_point::min();
    next_cool_down_ = policy_.first;
    if (!in_outage_) return std::nullopt;
    in_outage_ = false;
    return now - outage_started_at_;
  }

  // server could not be reached or did not answer. Once the store has moved on from it (another
  // attempt failed it meanwhile), the failure is old news and changes nothing.
  Failure Failed(const DatabaseServer& server, Clock::time_point now) {
    if (server != Current()) return {};
    return Failed(now);
  }

  // The current server could not be reached or did not answer.
  Failure Failed(Clock::time_point now) {
    Failure failure;
    failure.counted = true;
    if (!in_outage_) {
      in_outage_ = true;
      outage_started_at_ = now;
      failure.outage_started = true;
    }
    cool_down_until_ = Clock::time_point::min();
    ++failed_in_round_;
    if (failed_in_round_ >= servers_.size()) {
      // Every server failed: wait, then start again from the first, the preferred one.
      failed_in_round_ = 0;
      cool_down_until_ = now + next_cool_down_;
      next_cool_down_ = std::min(next_cool_down_ * 2, policy_.longest);
      failure.cool_down_started = true;
      failure.switched = current_ != 0;
      current_ = 0;
    } else {
      current_ = (current_ + 1) % servers_.size();
      failure.switched = true;
    }
    return failure;
  }

 private:
  std::vector<DatabaseServer> servers_;
  CoolDownPolicy policy_;
  std::size_t current_ = 0;
  std::size_t failed_in_round_ = 0;
  std::chrono::milliseconds next_cool_down_ = policy_.first;
  Clock::time_point cool_down_until_ = Clock::time_point::min();
  bool in_outage_ = false;
  Clock::time_point outage_started_at_;
};

}  // namespace veltrane
