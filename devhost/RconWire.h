#pragma once
// The Source RCON wire format: little-endian int32 size, id and type, then a NUL-terminated body
// and an empty string. The size counts everything after itself.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace devhost::rcon {

constexpr int kAuth = 3;
constexpr int kAuthResponse = 2;
constexpr int kCommand = 2;
constexpr int kResponse = 0;
constexpr std::size_t kMaxBody = 4096;

struct Packet {
  std::int32_t size = 0;
  std::int32_t id = 0;
  std::int32_t type = 0;
  std::string body;
};

std::string Encode(std::int32_t id, std::int32_t type, std::string_view body);

// Takes one packet off the front of buffer. Empty when more bytes are needed; throws
// std::runtime_error for a packet that is malformed or whose body exceeds kMaxBody.
std::optional<Packet> Decode(std::string& buffer);

}  // namespace devhost::rcon
