#include "WebhookReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace veltrane::test {

namespace {

constexpr int kPollMs = 50;  // how soon the destructor is noticed
constexpr std::size_t kMaxRequest = 1 << 20;
constexpr auto kClientTimeout = std::chrono::seconds(5);

// A TCP socket bound to 127.0.0.1 on a free port; its port in *port.
int BindLoopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("bind to 127.0.0.1 failed");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  const std::size_t start = text.find_first_not_of(" \t");
  const std::size_t end = text.find_last_not_of(" \t\r");
  return start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

void SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t count = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return;
    sent += std::size_t(count);
  }
}

// The code points of UTF-8 text (the parser has checked it).
std::u32string CodePoints(const std::string& text) {
  std::u32string points;
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length && at + i < text.size(); ++i)
      point = (point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    points += point;
    at += length;
  }
  return points;
}

bool IsBlank(const std::u32string& text) {
  return std::all_of(text.begin(), text.end(), [](char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
  });
}

}  // namespace

std::string DiscordRefusal(const std::string& body) {
  const nlohmann::json message = nlohmann::json::parse(body, nullptr, false);
  if (!message.is_object()) return "the body is no JSON object";
  const auto content = message.find("content");
  if (content == message.end() || !content->is_string()) return "no content";
  const std::u32string content_points = CodePoints(content->get<std::string>());
  if (IsBlank(content_points)) return "content is empty";
  if (content_points.size() > 2000)
    return "content has " + std::to_string(content_points.size()) + " characters, over 2000";
  const auto username = message.find("username");
  if (username == message.end() || username->is_null()) return "";
  if (!username->is_string()) return "username is no text";
  const std::u32string name_points = CodePoints(username->get<std::string>());
  if (IsBlank(name_points)) return "username is empty";
  if (name_points.size() > 80)
    return "username has " + std::to_string(name_points.size()) + " characters, over 80";
  const std::string lower = Lower(username->get<std::string>());
  if (lower.find("clyde") != std::string::npos || lower.find("discord") != std::string::npos)
    return "username contains \"clyde\" or \"discord\"";
  return "";
}

WebhookReceiver::WebhookReceiver(int status)
    : WebhookReceiver(status, std::chrono::milliseconds(0)) {}

WebhookReceiver::WebhookReceiver(int status, std::chrono::milliseconds delay)
    : delay_(delay), status_(status) {
  listen_fd_ = BindLoopback(&port_);
  if (listen(listen_fd_, 128) != 0) {
    close(listen_fd_);
    throw std::runtime_error("listen failed");
  }
  thread_ = std::thread(&WebhookReceiver::Serve, this);
}

WebhookReceiver::~WebhookReceiver() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  stop_wake_.notify_all();
  thread_.join();
  std::unique_lock<std::mutex> lock(lock_);
  stop_wake_.wait(lock, [this] { return answering_ == 0; });
  lock.unlock();
  close(listen_fd_);
}

bool WebhookReceiver::Delay() {
  std::unique_lock<std::mutex> lock(lock_);
  return !stop_wake_.wait_for(lock, delay_, [this] { return stopping_.load(); });
}

std::string WebhookReceiver::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> WebhookReceiver::Requests() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

bool WebhookReceiver::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(lock_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void WebhookReceiver::Serve() {
  while (!stopping_) {
    pollfd polled{listen_fd_, POLLIN, 0};
    if (poll(&polled, 1, kPollMs) <= 0) continue;
    const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    if (delay_.count() == 0) {
      Answer(client);
      close(client);
      continue;
    }
    {
      const std::lock_guard<std::mutex> guard(lock_);
      ++answering_;
    }
    std::thread([this, client] {
      Answer(client);
      close(client);
      const std::lock_guard<std::mutex> guard(lock_);
      --answering_;
      stop_wake_.notify_all();
    }).detach();
  }
}

// Reads one request (headers, then Content-Length bytes of body), records it and answers.
void WebhookReceiver::Answer(int client) {
  const auto deadline = std::chrono::steady_clock::now() + kClientTimeout;
  std::string data;
  std::size_t header_end = std::string::npos;
  std::size_t body_length = 0;
  bool continued = false;
  HttpRequest request;
  char chunk[4096];
  while (!stopping_ && std::chrono::steady_clock::now() < deadline && data.size() < kMaxRequest) {
    if (header_end != std::string::npos && data.size() >= header_end + 4 + body_length) break;
    pollfd polled{client, POLLIN, 0};
    if (poll(&polled, 1, kPollMs) <= 0) continue;
    const ssize_t count = recv(client, chunk, sizeof chunk, 0);
    if (count <= 0) return;
    data.append(chunk, std::size_t(count));
    if (header_end == std::string::npos &&
        (header_end = data.find("\r\n\r\n")) != std::string::npos) {
      std::istringstream head(data.substr(0, header_end));
      std::string line;
      std::getline(head, line);
      std::istringstream request_line(line);
      request_line >> request.method >> request.path;
      while (std::getline(head, line)) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos)
          request.headers[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
      }
      const std::string& length = request.headers["content-length"];
      if (std::from_chars(length.data(), length.data() + length.size(), body_length).ec !=
          std::errc())
        body_length = 0;
      if (!continued && Lower(request.headers["expect"]) == "100-continue") {
        SendAll(client, "HTTP/1.1 100 Continue\r\n\r\n");
        continued = true;
      }
    }
  }
  if (header_end == std::string::npos || data.size() < header_end + 4 + body_length) return;
  request.body = data.substr(header_end + 4, body_length);
  if (check_discord_rules_) request.discord_refusal = DiscordRefusal(request.body);
  const bool refused = !request.discord_refusal.empty();
  // Recorded before the answer goes out: whoever saw the answer finds the request here.
  request.received = std::chrono::steady_clock::now();
  {
    const std::lock_guard<std::mutex> guard(lock_);
    requests_.push_back(std::move(request));
  }
  arrived_.notify_all();
  if (delay_.count() > 0 && !Delay()) return;
  const int status = refused ? 400 : status_.load();
  SendAll(client, "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

// In the body: port_ is declared after fd_, so its initialiser would undo what BindLoopback wrote.
WebhookReceiver::RefusingPort::RefusingPort() { fd_ = BindLoopback(&port_); }

WebhookReceiver::RefusingPort::~RefusingPort() { close(fd_); }

std::string WebhookReceiver::RefusingPort::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace veltrane::test
