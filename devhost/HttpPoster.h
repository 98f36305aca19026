#pragma once
// The game server's HTTP POST: a worker thread runs the posts at once with libcurl's multi
// interface, so the game thread never waits for the network and one slow receiver does not hold
// up the posts behind it. Each outcome prints as one "http-status" line, a post given up too.

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace devhost {

class HttpPoster {
 public:
  static constexpr long kConnectTimeoutMs = 5000;
  static constexpr long kTotalTimeoutMs = 10000;
  // Posts in flight at once; more wait in a queue of kMaxWaiting, and a post beyond that is
  // dropped at once.
  static constexpr std::size_t kMaxTransfers = 64;
  static constexpr std::size_t kMaxWaiting = 1024;
  // How long shutdown waits for pending posts before it drops them.
  static constexpr std::chrono::milliseconds kShutdownGrace{3000};

  // settled runs on the worker after each post's status line is out.
  explicit HttpPoster(std::function<void()> settled = {}, std::size_t max_waiting = kMaxWaiting,
                      std::size_t max_transfers = kMaxTransfers);
  HttpPoster(const HttpPoster&) = delete;
  HttpPoster& operator=(const HttpPoster&) = delete;
  ~HttpPoster() { Finish(); }

  // Game thread. Queues one POST of a JSON body and answers its number (1, 2, ...); a full queue
  // prints its dropped line at once.
  std::uint64_t Post(std::string url, std::string body);
  // The number of the latest post; 0 before the first.
  std::uint64_t LastPosted() const;
  // True once every post up to that number has printed its status line.
  bool Settled(std::uint64_t up_to) const;
  // Game thread. Waits up to grace for the pending posts, drops those still pending then (a line
  // each) and stops the worker; a later post starts a new one.
  void Finish(std::chrono::milliseconds grace = kShutdownGrace);

 private:
  struct Request {
    std::uint64_t number = 0;
    std::string url;
    std::string body;
  };
  void Work();
  // Worker: the post's line is out; wakes whoever waits for it.
  void Settle(std::uint64_t number);

  const std::function<void()> settled_callback_;
  const std::size_t max_waiting_;
  const std::size_t max_transfers_;
  mutable std::mutex lock_;
  std::condition_variable worker_done_;
  std::deque<Request> waiting_;
  std::set<std::uint64_t> unsettled_;  // posted, line not yet printed
  std::uint64_t last_number_ = 0;
  bool finishing_ = false;   // no more posts are coming: the worker ends when all are done
  bool abandoning_ = false;  // the worker drops what is left and ends
  bool worker_running_ = false;
  CURLM* multi_ = nullptr;  // the worker's, woken by Post and Finish
  std::thread worker_;
};

}  // namespace devhost
