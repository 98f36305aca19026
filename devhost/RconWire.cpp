#include "RconWire.h"

#include <stdexcept>

namespace devhost::rcon {

namespace {

constexpr std::int32_t kHeader = 8;   // id and type
constexpr std::int32_t kTrailer = 2;  // the body's NUL and the empty string

void AppendInt32(std::string& out, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((bits >> shift) & 0xFF));
}

std::int32_t ReadInt32(std::string_view bytes) {
  std::uint32_t bits = 0;
  for (int i = 3; i >= 0; --i)
    bits = (bits << 8) | static_cast<std::uint8_t>(bytes[std::size_t(i)]);
  return static_cast<std::int32_t>(bits);
}

}  // namespace

std::string Encode(std::int32_t id, std::int32_t type, std::string_view body) {
  std::string out;
  AppendInt32(out, static_cast<std::int32_t>(kHeader + body.size() + kTrailer));
  AppendInt32(out, id);
  AppendInt32(out, type);
  out.append(body);
  out.append(2, '\0');
  return out;
}

std::optional<Packet> Decode(std::string& buffer) {
  if (buffer.size() < 4) return std::nullopt;
  const std::int32_t size = ReadInt32(buffer);
  if (size < kHeader + kTrailer) throw std::runtime_error("RCON packet too short");
  if (size > static_cast<std::int32_t>(kHeader + kMaxBody + kTrailer))
    throw std::runtime_error("RCON packet too large");
  if (buffer.size() < 4 + std::size_t(size)) return std::nullopt;
  const std::string_view payload = std::string_view(buffer).substr(4, std::size_t(size));
  if (payload[payload.size() - 1] != '\0') throw std::runtime_error("RCON packet not terminated");
  Packet packet{size, ReadInt32(payload), ReadInt32(payload.substr(4)), {}};
  const std::string_view body = payload.substr(kHeader, payload.size() - kHeader - 1);
  packet.body = std::string(body.substr(0, body.find('\0')));
  buffer.erase(0, 4 + std::size_t(size));
  return packet;
}

}  // namespace devhost::rcon
