#pragma once
// RCON over TCP on 127.0.0.1. A listener thread owns the sockets: it answers logins itself and
// hands each authenticated command to the game thread through the game loop; replies come back
// through Send and are written by the listener, so a slow or vanished client never blocks the
// game thread. Idle sockets cannot lock it: a connection must log in within a short deadline and
// is closed after a longer one without traffic, and when every place is taken the oldest
// connection that has not logged in gives way to a new one.

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "GameLoop.h"
#include "RconWire.h"

namespace devhost {

// How many connections, and how long one may stay without logging in or without traffic.
struct RconLimits {
  std::size_t max_clients = 16;
  // From the connection to a successful login.
  std::chrono::milliseconds login_timeout = std::chrono::seconds(5);
  // Since the last byte received or sent, once logged in.
  std::chrono::milliseconds idle_timeout = std::chrono::minutes(5);
};

class RconServer {
 public:
  // Runs on the game thread for each authenticated command.
  using RequestHandler = std::function<void(int client_id, const rcon::Packet& packet)>;
  using Clock = std::chrono::steady_clock;

  RconServer(GameLoop& loop, std::string password, RequestHandler handler, RconLimits limits = {});
  RconServer(const RconServer&) = delete;
  RconServer& operator=(const RconServer&) = delete;
  ~RconServer();

  // Binds 127.0.0.1:port (0: any free port) and starts listening; answers the port. Throws
  // std::system_error.
  int Start(int port);
  void Stop();

  // Queues a reply for the client, split into packets of at most rcon::kMaxBody bytes. Replies
  // for clients that are gone are dropped. Any thread.
  void Send(int client_id, std::int32_t request_id, std::int32_t type, std::string_view body);

 private:
  struct Client {
    int fd = -1;
    std::string received;
    std::string outbox;
    bool authenticated = false;
    bool close_when_sent = false;
    Clock::time_point connected;
    Clock::time_point last_traffic;
  };

  void Run();
  void Accept();
  // False when the client is to be dropped.
  bool Receive(int client_id, Client& client);
  bool Flush(Client& client);
  void Handle(int client_id, Client& client, rcon::Packet packet);
  void Wake();
  // When the client's deadline passes.
  Clock::time_point Deadline(const Client& client) const;
  // Closes the clients whose deadline has passed; answers how long poll may wait for the next
  // deadline (-1: none). Holds lock_.
  int CloseExpired();

  GameLoop& loop_;
  const std::string password_;
  const RequestHandler handler_;
  const RconLimits limits_;
  int listen_fd_ = -1;
  int wake_read_ = -1;
  int wake_write_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex lock_;  // guards clients_ between the listener and Send
  std::map<int, Client> clients_;
  int next_client_id_ = 1;
};

}  // namespace devhost
