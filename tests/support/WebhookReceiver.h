#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 for webhook tests: it records every request and answers
// each with a configurable status and an empty body, one connection at a time, on its own
// thread, until it is destroyed. A receiver made with a delay answers each request that much
// later and serves its connections at once, each on a thread of its own, as a slow web server
// does; a delay longer than the test is a receiver that never answers. One that checks Discord's
// rules answers 400, as Discord does, to a body Discord would refuse, and says why.
//
//   WebhookReceiver receiver(204);
//   config["Settings"]["Discord"]["WebHookUrl"] = receiver.Url();
//   ... run the devhost ...
//   ASSERT_TRUE(receiver.WaitForRequests(1));
//   nlohmann::json body = nlohmann::json::parse(receiver.Requests()[0].body);

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veltrane::test {

struct HttpRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  // With CheckDiscordRules: why Discord would refuse the body, empty when it would take it.
  std::string discord_refusal;
  std::chrono::steady_clock::time_point received;  // when the whole request had come
};

// Why Discord would refuse body as a webhook message: no JSON object, content missing, blank or
// over 2000 characters, username empty, over 80 characters or containing "clyde" or "discord"
// in any case. Characters are Unicode code points. Empty when Discord would take it.
std::string DiscordRefusal(const std::string& body);

class WebhookReceiver {
 public:
  explicit WebhookReceiver(int status = 204);
  WebhookReceiver(int status, std::chrono::milliseconds delay);
  ~WebhookReceiver();
  WebhookReceiver(const WebhookReceiver&) = delete;
  WebhookReceiver& operator=(const WebhookReceiver&) = delete;

  int Port() const { return port_; }
  // http://127.0.0.1:PORT followed by path.
  std::string Url(const std::string& path = "/webhook") const;
  // The status of the answers from now on.
  void SetStatus(int status) { status_ = status; }
  // From now on a body that Discord would refuse is answered 400 instead of the status.
  void CheckDiscordRules() { check_discord_rules_ = true; }

  std::vector<HttpRequest> Requests() const;
  // True once at least count requests have come, waiting up to timeout.
  bool WaitForRequests(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;

  // A loopback address where nothing listens: connecting to it is refused.
  class RefusingPort {
   public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::string Url(const std::string& path = "/webhook") const;

   private:
    int fd_ = -1;  // bound, never listening: keeps the port from being taken meanwhile
    int port_ = 0;
  };

 private:
  void Serve();
  void Answer(int client);
  // Waits out the delay; false when the receiver is being destroyed meanwhile.
  bool Delay();

  const std::chrono::milliseconds delay_{0};
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> status_;
  std::atomic<bool> check_discord_rules_{false};
  std::atomic<bool> stopping_{false};
  mutable std::mutex lock_;
  mutable std::condition_variable arrived_;
  std::condition_variable stop_wake_;  // wakes delayed answers and waits for their threads
  std::size_t answering_ = 0;          // threads of delayed answers still running
  std::vector<HttpRequest> requests_;
  std::thread thread_;
};

}  // namespace veltrane::test
