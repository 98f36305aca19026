#include "support/FaultProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace veltrane::test {

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
  Clock::time_point due;
  std::string bytes;
  std::size_t sent = 0;
};

// Bytes read from one socket, waiting for their time to be written to the other.
struct Direction {
  std::deque<Chunk> queue;
  bool source_closed = false;
  bool holding = false;  // a held chunk is queued: everything after it waits too
};

constexpr Clock::time_point kHeld = Clock::time_point::max();

struct Connection {
  int client = -1;
  int server = -1;
  Direction to_server;
  Direction to_client;
  bool broken = false;
  GreetingFault greeting_fault = GreetingFault::None;
  bool greeting_seen = false;

  ~Connection() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }
};

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

void SetNoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// Clears CLIENT_SSL (0x0800) in the capability flags of a protocol-10 greeting that came whole:
// after the server's version (ended by a zero byte), a thread id, a scramble and a filler.
void ClearTlsOffer(std::string& greeting) {
  const std::size_t version_end = greeting.find('\0', 5);
  const std::size_t flags_high = version_end + 1 + 4 + 8 + 1 + 1;
  if (greeting.size() < 5 || greeting[4] != 10 || version_end == std::string::npos ||
      flags_high >= greeting.size())
    return;
  greeting[flags_high] = static_cast<char>(greeting[flags_high] & ~0x08);
}

sockaddr_in LoopbackAddress(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      (ntohl(address.sin_addr.s_addr) >> 24) != 127) {
    throw std::invalid_argument("FaultProxy: the target must be a 127.x.x.x address: " + host);
  }
  return address;
}

// A listening socket on 127.0.0.1:port (0: any free port); -1 when the port cannot be bound.
int Listen(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  const sockaddr_in address = LoopbackAddress("127.0.0.1", port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 64) != 0) {
    ::close(fd);
    return -1;
  }
  SetNonBlocking(fd);
  return fd;
}

int BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

}  // namespace

struct FaultProxy::Loop {
  // Set by the test's thread, read by the loop.
  std::mutex mutex;
  std::chrono::microseconds delay_to_server{0};
  std::chrono::microseconds delay_to_client{0};
  bool stalled = false;
  bool refusing = false;
  std::uint64_t drops_requested = 0;
  bool stopping = false;
  // Each change counts up `requested`; the loop sets `applied` once it acts on it, so that a
  // setter returns only when the change holds.
  std::uint64_t requested = 0;
  std::uint64_t applied = 0;
  std::condition_variable applied_changed;
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<std::uint64_t> received_from_clients{0};
  std::atomic<std::uint64_t> held{0};
  std::atomic<std::uint64_t> open_connections{0};
  std::string hold_to_server;
  std::string hold_to_client;
  std::uint64_t releases_requested = 0;
  GreetingFault greeting_fault = GreetingFault::None;

  sockaddr_in target{};
  int port = 0;
  int listener = -1;
  int wake_read = -1;
  int wake_write = -1;
  std::thread thread;

  // The loop's own.
  std::list<Connection> connections;
  std::uint64_t drops_done = 0;
  std::uint64_t releases_done = 0;

  void Wake() const {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_write, &byte, 1);
  }

  // Makes a change under the lock and waits until the loop has taken it up.
  template <typename Change>
  void Apply(Change&& change) {
    std::unique_lock lock(mutex);
    change();
    const std::uint64_t mine = ++requested;
    Wake();
    applied_changed.wait(lock, [&] { return applied >= mine; });
  }

  void Run() {
    while (true) {
      bool stall = false;
      std::chrono::microseconds up{0};
      std::chrono::microseconds down{0};
      {
        std::lock_guard lock(mutex);
        if (stopping) break;
        stall = stalled;
        up = delay_to_server;
        down = delay_to_client;
        server_marker = hold_to_server;
        client_marker = hold_to_client;
        new_greeting_fault = greeting_fault;
        if (drops_done != drops_requested) {
          drops_done = drops_requested;
          connections.clear();
        }
        if (releases_done != releases_requested) {
          releases_done = releases_requested;
          Release();
        }
        if (refusing && listener >= 0) {
          ::close(listener);
          listener = -1;
        } else if (!refusing && listener < 0) {
          listener = Listen(port);  // retried on the next turn when the port is not free yet
        }
        if (refusing || listener >= 0) applied = requested;
      }
      applied_changed.notify_all();
      Turn(stall, up, down);
    }
    connections.clear();
    Count();
  }

  // The loop's copies of the markers and of the greeting's fault.
  std::string server_marker;
  std::string client_marker;
  GreetingFault new_greeting_fault = GreetingFault::None;

  void Release() {
    const Clock::time_point now = Clock::now();
    for (Connection& connection : connections) {
      for (Direction* direction : {&connection.to_server, &connection.to_client}) {
        for (Chunk& chunk : direction->queue) {
          if (chunk.due == kHeld) chunk.due = now;
        }
        direction->holding = false;
      }
    }
  }

  void Count() {
    std::uint64_t chunks = 0;
    for (const Connection& connection : connections) {
      for (const Direction* direction : {&connection.to_server, &connection.to_client}) {
        for (const Chunk& chunk : direction->queue) chunks += chunk.due == kHeld ? 1 : 0;
      }
    }
    held.store(chunks);
    open_connections.store(connections.size());
  }

  void Turn(bool stall, std::chrono::microseconds up, std::chrono::microseconds down) {
    std::vector<pollfd> fds;
    fds.push_back({wake_read, POLLIN, 0});
    const bool accepting = !stall && listener >= 0;
    if (accepting) fds.push_back({listener, POLLIN, 0});
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> next_due;
    for (Connection& connection : connections) {
      if (stall) continue;
      const auto watch = [&](int fd, Direction& in, Direction& out) {
        short events = 0;
        if (!in.source_closed) events |= POLLIN;
        if (!out.queue.empty()) {
          if (out.queue.front().due <= now) {
            events |= POLLOUT;
          } else if (!next_due || out.queue.front().due < *next_due) {
            next_due = out.queue.front().due;
          }
        }
        fds.push_back({fd, events, 0});
      };
      // The client socket reads what goes to the server and writes what comes back.
      watch(connection.client, connection.to_server, connection.to_client);
      watch(connection.server, connection.to_client, connection.to_server);
    }
    int timeout_ms = 200;  // a ceiling, so that a lost wake-up costs little
    if (next_due) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next_due - now).count();
      timeout_ms = static_cast<int>(std::clamp<long long>(wait, 0, timeout_ms));
    }
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) return;

    if (fds[0].revents & POLLIN) {
      char buffer[64];
      while (::read(wake_read, buffer, sizeof(buffer)) > 0) {
      }
    }
    if (stall) return;
    if (accepting && (fds[1].revents & POLLIN)) AcceptAll();

    std::size_t index = accepting ? 2 : 1;
    const Clock::time_point after = Clock::now();
    for (Connection& connection : connections) {
      if (index >= fds.size()) break;  // accepted during this turn: served from the next
      const short client_events = fds[index].revents;
      const short server_events = fds[index + 1].revents;
      index += 2;
      if (client_events & (POLLIN | POLLHUP | POLLERR)) {
        received_from_clients.fetch_add(
            Read(connection, connection.client, connection.to_server, after + up, server_marker));
      }
      if (server_events & (POLLIN | POLLHUP | POLLERR)) {
        const std::size_t queued = connection.to_client.queue.size();
        Read(connection, connection.server, connection.to_client, after + down, client_marker);
        if (!connection.greeting_seen && connection.to_client.queue.size() > queued) {
          connection.greeting_seen = true;
          BreakGreeting(connection);
        }
      }
      Write(connection, connection.server, connection.to_server, after);
      Write(connection, connection.client, connection.to_client, after);
      // A side that closed ends the connection once what it sent has been passed on.
      if ((connection.to_server.source_closed && connection.to_server.queue.empty()) ||
          (connection.to_client.source_closed && connection.to_client.queue.empty())) {
        connection.broken = true;
      }
    }
    connections.remove_if([](const Connection& connection) { return connection.broken; });
    Count();
  }

  // The greeting, the first chunk from the server, as the connection's fault wants it.
  static void BreakGreeting(Connection& connection) {
    switch (connection.greeting_fault) {
      case GreetingFault::None:
        break;
      case GreetingFault::NoTls:
        ClearTlsOffer(connection.to_client.queue.back().bytes);
        break;
      case GreetingFault::StallAfterIt:
        connection.to_server.holding = true;
        connection.to_client.holding = true;
        for (Chunk& chunk : connection.to_server.queue) chunk.due = kHeld;
        break;
    }
  }

  void AcceptAll() {
    while (true) {
      const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      accepted.fetch_add(1);
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (server < 0 ||
          ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        // The server itself is down: the client sees its connection closed.
        if (server >= 0) ::close(server);
        ::close(client);
        continue;
      }
      for (const int fd : {client, server}) {
        SetNonBlocking(fd);
        SetNoDelay(fd);
      }
      Connection& connection = connections.emplace_back();
      connection.client = client;
      connection.server = server;
      connection.greeting_fault = new_greeting_fault;
    }
  }

  // The number of bytes read.
  static std::size_t Read(Connection& connection, int fd, Direction& direction,
                          Clock::time_point due, const std::string& hold_marker) {
    if (direction.source_closed) return 0;
    char buffer[65536];
    const ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got > 0) {
      std::string bytes(buffer, static_cast<std::size_t>(got));
      if (!hold_marker.empty() && bytes.find(hold_marker) != std::string::npos)
        direction.holding = true;
      direction.queue.push_back({direction.holding ? kHeld : due, std::move(bytes), 0});
      return static_cast<std::size_t>(got);
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      direction.source_closed = true;
      if (got < 0) connection.broken = true;
    }
    return 0;
  }

  static void Write(Connection& connection, int fd, Direction& direction, Clock::time_point now) {
    while (!direction.queue.empty() && direction.queue.front().due <= now) {
      Chunk& chunk = direction.queue.front();
      const ssize_t sent = ::send(fd, chunk.bytes.data() + chunk.sent,
                                  chunk.bytes.size() - chunk.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) connection.broken = true;
        return;
      }
      chunk.sent += static_cast<std::size_t>(sent);
      if (chunk.sent < chunk.bytes.size()) return;
      direction.queue.pop_front();
    }
  }
};

FaultProxy::FaultProxy(const std::string& target_host, int target_port)
    : loop_(std::make_unique<Loop>()) {
  loop_->target =
      LoopbackAddress(target_host == "localhost" ? "127.0.0.1" : target_host, target_port);
  loop_->listener = Listen(0);
  int pipe_fds[2];
  if (loop_->listener < 0 || ::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (loop_->listener >= 0) ::close(loop_->listener);
    throw std::runtime_error("FaultProxy: cannot listen on 127.0.0.1");
  }
  loop_->wake_read = pipe_fds[0];
  loop_->wake_write = pipe_fds[1];
  port_ = loop_->port = BoundPort(loop_->listener);
  loop_->thread = std::thread([loop = loop_.get()] { loop->Run(); });
}

FaultProxy::~FaultProxy() {
  {
    std::lock_guard lock(loop_->mutex);
    loop_->stopping = true;
  }
  loop_->Wake();
  loop_->thread.join();
  if (loop_->listener >= 0) ::close(loop_->listener);
  ::close(loop_->wake_read);
  ::close(loop_->wake_write);
}

void FaultProxy::SetDelay(std::chrono::microseconds to_server,
                          std::chrono::microseconds to_client) {
  loop_->Apply([&] {
    loop_->delay_to_server = to_server;
    loop_->delay_to_client = to_client;
  });
}

void FaultProxy::SetStalled(bool stalled) {
  loop_->Apply([&] { loop_->stalled = stalled; });
}

void FaultProxy::DropConnections() {
  loop_->Apply([&] { ++loop_->drops_requested; });
}

void FaultProxy::SetRefusing(bool refusing) {
  loop_->Apply([&] { loop_->refusing = refusing; });
}

void FaultProxy::HoldToServer(const std::string& marker) {
  loop_->Apply([&] { loop_->hold_to_server = marker; });
}

void FaultProxy::HoldToClient(const std::string& marker) {
  loop_->Apply([&] { loop_->hold_to_client = marker; });
}

void FaultProxy::ReleaseHeld() {
  loop_->Apply([&] {
    loop_->hold_to_server.clear();
    loop_->hold_to_client.clear();
    ++loop_->releases_requested;
  });
}

void FaultProxy::SetGreetingFault(GreetingFault fault) {
  loop_->Apply([&] { loop_->greeting_fault = fault; });
}

std::uint64_t FaultProxy::Held() const { return loop_->held.load(); }

std::uint64_t FaultProxy::OpenConnections() const { return loop_->open_connections.load(); }

std::uint64_t FaultProxy::Accepted() const { return loop_->accepted.load(); }

std::uint64_t FaultProxy::ReceivedFromClients() const {
  return loop_->received_from_clients.load();
}

}  // namespace veltrane::test
