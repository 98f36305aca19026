#include "RconServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>
#include <vector>

#include "LogSinks.h"

namespace devhost {

namespace {

constexpr std::size_t kMaxOutbox = 1 << 20;

[[noreturn]] void ThrowSystemError(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

RconServer::RconServer(GameLoop& loop, std::string password, RequestHandler handler,
                       RconLimits limits)
    : loop_(loop), password_(std::move(password)), handler_(std::move(handler)), limits_(limits) {}

RconServer::~RconServer() {
  Stop();
  for (int fd : {listen_fd_, wake_read_, wake_write_})
    if (fd >= 0) close(fd);
}

int RconServer::Start(int port) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_NONBLOCK | O_CLOEXEC) != 0) ThrowSystemError("pipe2");
  wake_read_ = pipe_ends[0];
  wake_write_ = pipe_ends[1];

  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) ThrowSystemError("socket");
  const int yes = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    ThrowSystemError("bind");
  if (listen(listen_fd_, 16) != 0) ThrowSystemError("listen");
  socklen_t length = sizeof address;
  if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    ThrowSystemError("getsockname");
  thread_ = std::thread(&RconServer::Run, this);
  return ntohs(address.sin_port);
}

void RconServer::Stop() {
  stopping_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
  const std::lock_guard<std::mutex> guard(lock_);
  for (auto& [id, client] : clients_) close(client.fd);
  clients_.clear();
}

void RconServer::Wake() {
  if (wake_write_ < 0) return;
  const char byte = 0;
  [[maybe_unused]] const ssize_t ignored = write(wake_write_, &byte, 1);  // a full pipe wakes too
}

void RconServer::Send(int client_id, std::int32_t request_id, std::int32_t type,
                      std::string_view body) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto found = clients_.find(client_id);
    if (found == clients_.end()) return;
    Client& client = found->second;
    std::size_t offset = 0;
    do {
      client.outbox += rcon::Encode(request_id, type, body.substr(offset, rcon::kMaxBody));
      offset += rcon::kMaxBody;
    } while (offset < body.size());
  }
  Wake();
}

void RconServer::Run() {
  std::vector<pollfd> polled;
  std::vector<int> polled_ids;
  while (!stopping_) {
    polled.assign({{wake_read_, POLLIN, 0}, {listen_fd_, POLLIN, 0}});
    polled_ids.assign({0, 0});
    int wait_ms = -1;
    {
      const std::lock_guard<std::mutex> guard(lock_);
      wait_ms = CloseExpired();
      for (const auto& [id, client] : clients_) {
        const short events = short(POLLIN | (client.outbox.empty() ? 0 : POLLOUT));
        polled.push_back({client.fd, events, 0});
        polled_ids.push_back(id);
      }
    }
    if (poll(polled.data(), polled.size(), wait_ms) < 0) {
      if (errno == EINTR) continue;
      DevhostLogger().error("RCON listener stops: poll failed");
      return;
    }
    if (polled[0].revents != 0) {
      char drain[64];
      while (read(wake_read_, drain, sizeof drain) > 0) {
      }
    }
    if (polled[1].revents & POLLIN) Accept();

    const std::lock_guard<std::mutex> guard(lock_);
    for (std::size_t i = 2; i < polled.size(); ++i) {
      const auto found = clients_.find(polled_ids[i]);
      if (found == clients_.end()) continue;
      Client& client = found->second;
      bool keep = true;
      if (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) keep = Receive(found->first, client);
      if (keep) keep = Flush(client);
      if (keep && client.outbox.size() > kMaxOutbox) {
        DevhostLogger().warn("RCON client {} does not read its replies; connection closed",
                             found->first);
        keep = false;
      }
      if (!keep) {
        close(client.fd);
        clients_.erase(found);
      }
    }
  }
}

RconServer::Clock::time_point RconServer::Deadline(const Client& client) const {
  return client.authenticated ? client.last_traffic + limits_.idle_timeout
                              : client.connected + limits_.login_timeout;
}

int RconServer::CloseExpired() {
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> next;
  for (auto it = clients_.begin(); it != clients_.end();) {
    const Clock::time_point deadline = Deadline(it->second);
    if (deadline <= now) {
      DevhostLogger().warn("RCON client {}: {}; connection closed", it->first,
                           it->second.authenticated ? "idle too long" : "no login in time");
      close(it->second.fd);
      it = clients_.erase(it);
      continue;
    }
    if (!next || deadline < *next) next = deadline;
    ++it;
  }
  if (!next) return -1;
  // Rounded up, so that the deadline has passed when poll returns.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<int>(std::min<long long>(left, 60'000));
}

void RconServer::Accept() {
  while (true) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const std::lock_guard<std::mutex> guard(lock_);
    if (clients_.size() >= limits_.max_clients) {
      // The oldest connection that has not logged in gives way; ids grow with the connections.
      const auto waiting = std::find_if(clients_.begin(), clients_.end(), [](const auto& entry) {
        return !entry.second.authenticated;
      });
      if (waiting == clients_.end()) {
        DevhostLogger().warn("RCON: {} clients are logged in; a new connection is refused",
                             clients_.size());
        close(fd);
        continue;
      }
      DevhostLogger().warn("RCON client {}: gives way to a new connection before its login",
                           waiting->first);
      close(waiting->second.fd);
      clients_.erase(waiting);
    }
    Client& client = clients_[next_client_id_++];
    client.fd = fd;
    client.connected = client.last_traffic = Clock::now();
  }
}

bool RconServer::Receive(int client_id, Client& client) {
  char chunk[4096];
  const ssize_t count = recv(client.fd, chunk, sizeof chunk, 0);
  if (count == 0) return false;  // gone; a packet cut short dies with it
  if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  client.last_traffic = Clock::now();
  client.received.append(chunk, std::size_t(count));
  try {
    while (std::optional<rcon::Packet> packet = rcon::Decode(client.received)) {
      Handle(client_id, client, std::move(*packet));
      if (client.close_when_sent) {
        client.received.clear();
        break;
      }
    }
  } catch (const std::exception& error) {
    DevhostLogger().warn("RCON client {}: {}; connection closed", client_id, error.what());
    return false;
  }
  return true;
}

void RconServer::Handle(int client_id, Client& client, rcon::Packet packet) {
  if (packet.type == rcon::kAuth) {
    client.authenticated = packet.body == password_;
    client.outbox += rcon::Encode(client.authenticated ? packet.id : -1, rcon::kAuthResponse, "");
    if (!client.authenticated) {
      DevhostLogger().warn("RCON client {}: wrong password", client_id);
      client.close_when_sent = true;
    }
    return;
  }
  if (!client.authenticated || packet.type != rcon::kCommand) {
    client.outbox += rcon::Encode(-1, rcon::kAuthResponse, "");
    client.close_when_sent = true;
    return;
  }
  const std::int32_t request_id = packet.id;
  const bool queued =
      loop_.Post([this, client_id, packet = std::move(packet)] { handler_(client_id, packet); });
  if (!queued) client.outbox += rcon::Encode(request_id, rcon::kResponse, "Server busy");
}

bool RconServer::Flush(Client& client) {
  while (!client.outbox.empty()) {
    const ssize_t sent = send(client.fd, client.outbox.data(), client.outbox.size(), MSG_NOSIGNAL);
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    client.last_traffic = Clock::now();
    client.outbox.erase(0, std::size_t(sent));
  }
  return !client.close_when_sent;
}

}  // namespace devhost
