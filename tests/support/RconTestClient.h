#pragma once
// A Source RCON client over TCP on 127.0.0.1. Authenticate() and Command() talk as an
// administrator's tool does; SendPacket(), SendBytes() and Read() also send what a well-behaved
// client would not (oversized, truncated or unfinished packets). Every wait is bounded.

#include <cstdint>
#include <optional>
#include <string>

namespace veltrane::test {

struct RconPacket {
  std::int32_t id = 0;
  std::int32_t type = 0;
  std::string body;
};

class RconTestClient {
 public:
  // Throws std::runtime_error when nothing listens on the port.
  explicit RconTestClient(int port);
  ~RconTestClient();
  RconTestClient(const RconTestClient&) = delete;
  RconTestClient& operator=(const RconTestClient&) = delete;

  // True when the server accepts the password. Throws std::runtime_error when no answer comes.
  bool Authenticate(const std::string& password);
  // The body of the first response to the command. Throws std::runtime_error when none comes.
  std::string Command(const std::string& text);

  // Ids are the caller's: they may repeat those Authenticate() and Command() chose.
  void SendPacket(std::int32_t id, std::int32_t type, const std::string& body);
  void SendBytes(const std::string& bytes);
  // The next packet; none when the server closed the connection, sent a size no packet has, or
  // nothing came in time.
  std::optional<RconPacket> Read();
  // True when the server closes the connection without sending anything more.
  bool ClosedByServer();

 private:
  enum class ReadOutcome { kComplete, kClosed, kTimedOut };

  RconPacket ReadAnswer();
  ReadOutcome ReadExactly(std::size_t count, std::string& out);

  int fd_ = -1;
  std::int32_t next_id_ = 1;
};

}  // namespace veltrane::test
