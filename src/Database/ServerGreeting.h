#pragma once
// The server's greeting, the first packet of a connection, read before the client library answers
// it. The library answers a greeting that offers no TLS in clear (the user, the authentication
// response, the database), even when the TlsMode asks for TLS; a connection that asks for TLS
// reads the greeting's capability flags first and ends without a word when CLIENT_SSL is not
// among them, so that nothing of the client's crosses.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace daotk::mysql {

enum class Greeting {
  Incomplete,  // more bytes are to come
  OffersTls,
  WithoutTls,   // also anything that is no greeting of protocol 10
  ErrorPacket,  // the server refused the connection at once; the library reports why
};

// What the bytes read so far from a new connection hold.
constexpr Greeting ReadGreeting(std::string_view bytes) {
  constexpr std::size_t kHeader = 4;       // payload length (3 bytes), sequence number
  constexpr unsigned char kProtocol = 10;  // the only handshake a server of today sends
  constexpr unsigned char kErrorMark = 0xFF;
  constexpr std::uint16_t kClientSsl = 0x0800;
  if (bytes.size() < kHeader + 1) return Greeting::Incomplete;
  const auto byte = [bytes](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  const std::size_t payload = byte(0) | (std::size_t{byte(1)} << 8) | (std::size_t{byte(2)} << 16);
  if (byte(kHeader) == kErrorMark) return Greeting::ErrorPacket;
  if (byte(kHeader) != kProtocol) return Greeting::WithoutTls;
  // The server's version, ended by a zero byte, then the thread id (4), the first part of the
  // scramble (8) and a filler (1); the capability flags' lower half comes next.
  const std::size_t end = kHeader + payload;
  std::size_t at = kHeader + 1;
  while (at < bytes.size() && at < end && bytes[at] != '\0') ++at;
  if (at >= end) return Greeting::WithoutTls;
  if (at >= bytes.size()) return Greeting::Incomplete;
  const std::size_t flags = at + 1 + 4 + 8 + 1;
  if (flags + 2 > end) return Greeting::WithoutTls;
  if (flags + 2 > bytes.size()) return Greeting::Incomplete;
  const std::uint16_t lower_flags =
      static_cast<std::uint16_t>(byte(flags) | (byte(flags + 1) << 8));
  return (lower_flags & kClientSsl) != 0 ? Greeting::OffersTls : Greeting::WithoutTls;
}

}  // namespace daotk::mysql
