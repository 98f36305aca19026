#include "HttpPoster.h"

#include <curl/curl.h>

#include <memory>

#include "Output.h"

namespace devhost {

namespace {

void PrintStatus(const std::string& url, const std::string& outcome) {
  PrintLine("http-status url=" + JsonText(url) + " " + outcome);
}

// The answer's body is of no interest.
std::size_t DiscardBody(char* /*data*/, std::size_t size, std::size_t count, void* /*user*/) {
  return size * count;
}

// "status=N" or "error=JSON".
std::string Perform(const std::string& url, const std::string& body) {
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                 &curl_easy_cleanup);
  if (!curl) return "error=" + JsonText("curl_easy_init failed");
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Expect:");
  const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> header_list(
      headers, &curl_slist_free_all);
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, header_list.get());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, HttpPoster::kConnectTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, HttpPoster::kTotalTimeoutMs);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DiscardBody);
  char error_text[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text);

  const CURLcode result = curl_easy_perform(handle);
  if (result != CURLE_OK)
    return "error=" + JsonText(error_text[0] != '\0' ? error_text : curl_easy_strerror(result));
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return "status=" + std::to_string(status);
}

}  // namespace

void HttpPoster::Post(std::string url, std::string body) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    if (!finishing_ && queue_.size() < capacity_) {
      queue_.push_back({std::move(url), std::move(body)});
      if (!worker_.joinable()) worker_ = std::thread(&HttpPoster::Work, this);
      wake_.notify_all();
      return;
    }
  }
  PrintStatus(url, "error=" + JsonText("the HTTP queue is full"));
}

void HttpPoster::Finish() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    finishing_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  const std::lock_guard<std::mutex> guard(lock_);
  finishing_ = false;  // a later post starts a new worker
}

void HttpPoster::Work() {
  std::unique_lock<std::mutex> lock(lock_);
  while (true) {
    wake_.wait(lock, [this] { return finishing_ || !queue_.empty(); });
    if (queue_.empty()) return;
    const Request request = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    PrintStatus(request.url, Perform(request.url, request.body));
    lock.lock();
  }
}

}  // namespace devhost
