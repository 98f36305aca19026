#pragma once
// A Source RCON client over TCP on 127.0.0.1, as an administrator's tool talks to the server.
// Every wait is bounded; a server that does not answer in time throws std::runtime_error.

#include <cstdint>
#include <string>

namespace veltrane::test {

class RconClient {
 public:
  explicit RconClient(int port);
  ~RconClient();
  RconClient(const RconClient&) = delete;
  RconClient& operator=(const RconClient&) = delete;

  // True when the server accepts the password.
  bool Authenticate(const std::string& password);
  // Sends a command and returns the body of the first response to it.
  std::string Command(const std::string& text);

 private:
  struct Packet {
    std::int32_t id = 0;
    std::int32_t type = 0;
    std::string body;
  };

  void Send(std::int32_t id, std::int32_t type, const std::string& body);
  Packet Receive();
  void ReadExactly(char* data, std::size_t size);

  int fd_ = -1;
  std::int32_t next_id_ = 1;
};

}  // namespace veltrane::test
