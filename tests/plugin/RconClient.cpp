#include "RconClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace veltrane::test {

namespace {

constexpr std::int32_t kAuth = 3;
constexpr std::int32_t kAuthResponse = 2;
constexpr std::int32_t kCommand = 2;
constexpr int kWaitMs = 10000;
constexpr int kMaxPacketsPerAnswer = 8;

void PutInt32(std::string& out, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((bits >> shift) & 0xFF));
}

std::int32_t GetInt32(const char* in) {
  std::uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(in[i]);
  return static_cast<std::int32_t>(bits);
}

}  // namespace

RconClient::RconClient(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    throw std::runtime_error("cannot connect to the RCON port");
  }
}

RconClient::~RconClient() { close(fd_); }

bool RconClient::Authenticate(const std::string& password) {
  const std::int32_t id = next_id_++;
  Send(id, kAuth, password);
  for (int i = 0; i < kMaxPacketsPerAnswer; ++i) {
    const Packet answer = Receive();
    if (answer.type == kAuthResponse) return answer.id == id;
  }
  throw std::runtime_error("no auth response");
}

std::string RconClient::Command(const std::string& text) {
  const std::int32_t id = next_id_++;
  Send(id, kCommand, text);
  for (int i = 0; i < kMaxPacketsPerAnswer; ++i) {
    const Packet answer = Receive();
    if (answer.id == id) return answer.body;
  }
  throw std::runtime_error("no response to the command");
}

void RconClient::Send(std::int32_t id, std::int32_t type, const std::string& body) {
  std::string packet;
  PutInt32(packet, static_cast<std::int32_t>(body.size() + 10));
  PutInt32(packet, id);
  PutInt32(packet, type);
  packet += body;
  packet.append(2, '\0');
  if (send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(packet.size()))
    throw std::runtime_error("send failed");
}

RconClient::Packet RconClient::Receive() {
  char header[12];
  ReadExactly(header, sizeof header);
  const std::int32_t size = GetInt32(header);
  if (size < 10 || size > 65536) throw std::runtime_error("malformed RCON packet");
  std::string rest(static_cast<std::size_t>(size - 8), '\0');
  ReadExactly(rest.data(), rest.size());
  return {GetInt32(header + 4), GetInt32(header + 8), std::string(rest.c_str())};
}

void RconClient::ReadExactly(char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    pollfd polled{fd_, POLLIN, 0};
    if (poll(&polled, 1, kWaitMs) <= 0) throw std::runtime_error("the RCON server did not answer");
    const ssize_t count = recv(fd_, data + done, size - done, 0);
    if (count <= 0) throw std::runtime_error("the RCON server closed the connection");
    done += static_cast<std::size_t>(count);
  }
}

}  // namespace veltrane::test
