#include "RconTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace veltrane::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kExecCommand = 2;
constexpr std::int32_t kAuthResponse = 2;
constexpr std::int32_t kAuth = 3;

constexpr auto kPacketWait = std::chrono::seconds(10);
// A server may send other packets first (an empty response value before the auth response).
constexpr int kMaxPacketsPerAnswer = 8;
constexpr std::int32_t kMinPacketSize = 10;
constexpr std::int32_t kMaxPacketSize = 65536;

std::string Int32Bytes(std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  std::string out;
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((bits >> shift) & 0xFF));
  return out;
}

std::int32_t Int32At(const std::string& bytes, std::size_t offset) {
  std::uint32_t bits = 0;
  for (std::size_t i = 4; i-- > 0;)
    bits = (bits << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return static_cast<std::int32_t>(bits);
}

}  // namespace

RconTestClient::RconTestClient(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
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

RconTestClient::~RconTestClient() { close(fd_); }

bool RconTestClient::Authenticate(const std::string& password) {
  const std::int32_t id = next_id_++;
  SendPacket(id, kAuth, password);
  for (int i = 0; i < kMaxPacketsPerAnswer; ++i) {
    const RconPacket answer = ReadAnswer();
    if (answer.type == kAuthResponse) return answer.id == id;
  }
  throw std::runtime_error("no auth response");
}

std::string RconTestClient::Command(const std::string& text) {
  const std::int32_t id = next_id_++;
  SendPacket(id, kExecCommand, text);
  for (int i = 0; i < kMaxPacketsPerAnswer; ++i) {
    RconPacket answer = ReadAnswer();
    if (answer.id == id) return std::move(answer.body);
  }
  throw std::runtime_error("no response to the command");
}

void RconTestClient::SendPacket(std::int32_t id, std::int32_t type, const std::string& body) {
  std::string bytes = Int32Bytes(static_cast<std::int32_t>(body.size()) + kMinPacketSize) +
                      Int32Bytes(id) + Int32Bytes(type) + body;
  bytes.append(2, '\0');
  SendBytes(bytes);
}

void RconTestClient::SendBytes(const std::string& bytes) {
  if (send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("send failed");
}

std::optional<RconPacket> RconTestClient::Read() {
  std::string size_bytes;
  if (ReadExactly(4, size_bytes) != ReadOutcome::kComplete) return std::nullopt;
  const std::int32_t size = Int32At(size_bytes, 0);
  if (size < kMinPacketSize || size > kMaxPacketSize) return std::nullopt;
  std::string rest;
  if (ReadExactly(static_cast<std::size_t>(size), rest) != ReadOutcome::kComplete)
    return std::nullopt;
  // The body ends with its own terminator and the packet's empty string.
  return RconPacket{Int32At(rest, 0), Int32At(rest, 4), rest.substr(8, rest.size() - 10)};
}

bool RconTestClient::ClosedByServer() {
  std::string byte;
  return ReadExactly(1, byte) == ReadOutcome::kClosed;
}

RconPacket RconTestClient::ReadAnswer() {
  std::optional<RconPacket> packet = Read();
  if (!packet) throw std::runtime_error("the RCON server gave no answer");
  return std::move(*packet);
}

RconTestClient::ReadOutcome RconTestClient::ReadExactly(std::size_t count, std::string& out) {
  const Clock::time_point deadline = Clock::now() + kPacketWait;
  char chunk[4096];
  while (out.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ReadOutcome::kTimedOut;
    pollfd polled{fd_, POLLIN, 0};
    const int ready = poll(&polled, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ReadOutcome::kTimedOut;
    const ssize_t got = recv(fd_, chunk, std::min(sizeof chunk, count - out.size()), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return ReadOutcome::kClosed;
    out.append(chunk, static_cast<std::size_t>(got));
  }
  return ReadOutcome::kComplete;
}

}  // namespace veltrane::test
