#include "HttpPoster.h"

#include <map>
#include <memory>

#include "Output.h"

namespace devhost {

namespace {

constexpr int kPollMs = 1000;  // an upper bound only: Post and Finish wake the worker

void PrintStatus(const std::string& url, const std::string& outcome) {
  PrintLine("http-status url=" + JsonText(url) + " " + outcome);
}

std::string Dropped(const std::string& reason) { return "error=" + JsonText("dropped: " + reason); }

// The answer's body is of no interest.
std::size_t DiscardBody(char* /*data*/, std::size_t size, std::size_t count, void* /*user*/) {
  return size * count;
}

// One post in flight: what its easy handle points into lives here until it is done.
struct Transfer {
  std::uint64_t number = 0;
  std::string url;
  std::string body;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{nullptr, &curl_easy_cleanup};
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers{nullptr,
                                                                      &curl_slist_free_all};
  char error_text[CURL_ERROR_SIZE] = {};
};

// False when libcurl cannot make the handle.
bool Prepare(Transfer& transfer) {
  transfer.easy.reset(curl_easy_init());
  if (!transfer.easy) return false;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Expect:");
  transfer.headers.reset(headers);
  CURL* handle = transfer.easy.get();
  curl_easy_setopt(handle, CURLOPT_URL, transfer.url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, transfer.headers.get());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, transfer.body.c_str());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(transfer.body.size()));
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, HttpPoster::kConnectTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, HttpPoster::kTotalTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DiscardBody);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, transfer.error_text);
  return true;
}

// "status=N" or "error=JSON".
std::string Outcome(Transfer& transfer, CURLcode result) {
  if (result != CURLE_OK) {
    return "error=" + JsonText(transfer.error_text[0] != '\0' ? transfer.error_text
                                                              : curl_easy_strerror(result));
  }
  long status = 0;
  curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &status);
  return "status=" + std::to_string(status);
}

}  // namespace

HttpPoster::HttpPoster(std::function<void()> settled, std::size_t max_waiting,
                       std::size_t max_transfers)
    : settled_callback_(std::move(settled)),
      max_waiting_(max_waiting),
      max_transfers_(max_transfers) {}

std::uint64_t HttpPoster::Post(std::string url, std::string body) {
  std::uint64_t number = 0;
  const char* refused = "the HTTP queue is full";
  {
    const std::lock_guard<std::mutex> guard(lock_);
    number = ++last_number_;
    if (!worker_running_ && waiting_.size() < max_waiting_) {
      if (worker_.joinable()) worker_.join();  // it has ended: only Finish ends it
      multi_ = curl_multi_init();
      if (multi_ == nullptr) {
        refused = "curl_multi_init failed";
      } else {
        finishing_ = false;
        abandoning_ = false;
        worker_running_ = true;
        worker_ = std::thread(&HttpPoster::Work, this);
      }
    }
    if (worker_running_ && waiting_.size() < max_waiting_) {
      waiting_.push_back({number, std::move(url), std::move(body)});
      unsettled_.insert(number);
      curl_multi_wakeup(multi_);
      return number;
    }
  }
  PrintStatus(url, Dropped(refused));
  return number;
}

std::uint64_t HttpPoster::LastPosted() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return last_number_;
}

bool HttpPoster::Settled(std::uint64_t up_to) const {
  const std::lock_guard<std::mutex> guard(lock_);
  return unsettled_.empty() || *unsettled_.begin() > up_to;
}

void HttpPoster::Finish(std::chrono::milliseconds grace) {
  std::unique_lock<std::mutex> lock(lock_);
  if (!worker_.joinable()) return;
  finishing_ = true;
  if (worker_running_) curl_multi_wakeup(multi_);
  if (!worker_done_.wait_for(lock, grace, [this] { return !worker_running_; })) {
    abandoning_ = true;
    curl_multi_wakeup(multi_);
  }
  lock.unlock();
  worker_.join();
  lock.lock();
  curl_multi_cleanup(multi_);
  multi_ = nullptr;
}

void HttpPoster::Settle(std::uint64_t number) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    unsettled_.erase(number);
  }
  if (settled_callback_) settled_callback_();
}

void HttpPoster::Work() {
  std::map<CURL*, std::unique_ptr<Transfer>> running;
  bool abandoned = false;
  while (true) {
    std::deque<Request> starting;
    {
      const std::lock_guard<std::mutex> guard(lock_);
      if (abandoning_) {
        abandoned = true;
        break;
      }
      while (running.size() + starting.size() < max_transfers_ && !waiting_.empty()) {
        starting.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
      }
      if (finishing_ && starting.empty() && running.empty()) break;
    }
    for (Request& request : starting) {
      auto transfer = std::make_unique<Transfer>();
      transfer->number = request.number;
      transfer->url = std::move(request.url);
      transfer->body = std::move(request.body);
      if (!Prepare(*transfer) || curl_multi_add_handle(multi_, transfer->easy.get()) != CURLM_OK) {
        PrintStatus(transfer->url, "error=" + JsonText("libcurl cannot start the post"));
        Settle(transfer->number);
        continue;
      }
      CURL* easy = transfer->easy.get();
      running.emplace(easy, std::move(transfer));
    }
    int still_running = 0;
    curl_multi_perform(multi_, &still_running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      const auto found = running.find(message->easy_handle);
      if (found == running.end()) continue;
      std::unique_ptr<Transfer> transfer = std::move(found->second);
      running.erase(found);
      const std::string outcome = Outcome(*transfer, message->data.result);
      curl_multi_remove_handle(multi_, transfer->easy.get());
      PrintStatus(transfer->url, outcome);
      Settle(transfer->number);
    }
    curl_multi_poll(multi_, nullptr, 0, kPollMs, nullptr);
  }

  if (abandoned) {
    for (auto& [easy, transfer] : running) {
      curl_multi_remove_handle(multi_, easy);
      PrintStatus(transfer->url, Dropped("still pending at shutdown"));
      Settle(transfer->number);
    }
    std::deque<Request> left_waiting;
    {
      const std::lock_guard<std::mutex> guard(lock_);
      left_waiting.swap(waiting_);
    }
    for (const Request& request : left_waiting) {
      PrintStatus(request.url, Dropped("still pending at shutdown"));
      Settle(request.number);
    }
  }
  {
    const std::lock_guard<std::mutex> guard(lock_);
    worker_running_ = false;
  }
  worker_done_.notify_all();
}

}  // namespace devhost
