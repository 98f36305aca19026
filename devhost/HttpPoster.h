#pragma once
// The game server's HTTP POST: a worker thread works off a bounded queue with libcurl, so the
// game thread never waits for the network, and prints each outcome as "http-status".

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace devhost {

class HttpPoster {
 public:
  static constexpr long kConnectTimeoutMs = 5000;
  static constexpr long kTotalTimeoutMs = 10000;

  explicit HttpPoster(std::size_t capacity = 64) : capacity_(capacity) {}
  HttpPoster(const HttpPoster&) = delete;
  HttpPoster& operator=(const HttpPoster&) = delete;
  ~HttpPoster() { Finish(); }

  // Queues one POST of a JSON body; a full queue answers at once with an error status line.
  void Post(std::string url, std::string body);
  // Waits until every queued POST is done (each bounded by its timeouts), then stops the worker.
  void Finish();

 private:
  struct Request {
    std::string url;
    std::string body;
  };
  void Work();

  const std::size_t capacity_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Request> queue_;
  bool finishing_ = false;
  std::thread worker_;
};

}  // namespace devhost
