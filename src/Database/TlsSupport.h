#pragma once
// What a version of the client library can give of the TLS modes, found by reading its sources
// and by trying it (docs/client-libraries.md). Pure: the library describes itself
// (ClientLibrary.h), and the configuration's check asks here.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "Database/ConnectionSettings.h"

// The library as it names itself.
struct ClientLibraryInfo {
  std::string version;      // Connector/C's ("3.3.20", "3.4.10"); empty when it cannot say
  std::string tls_library;  // "OpenSSL 3.0.19 27 Jan 2026", "Schannel"; empty when it cannot say
};

// "3.4.10" as {3, 4, 10}; what is not a number counts as 0.
constexpr std::array<int, 3> ClientVersionNumbers(std::string_view version) {
  std::array<int, 3> numbers{};
  std::size_t part = 0;
  for (const char c : version) {
    if (c == '.') {
      if (++part == numbers.size()) break;
    } else if (c >= '0' && c <= '9') {
      numbers[part] = numbers[part] * 10 + (c - '0');
    } else {
      break;
    }
  }
  return numbers;
}

// The first Connector/C tested to keep its TLS handshake and reads from waiting in its
// non-blocking calls (docs/client-libraries.md); 3.3 waits in both.
inline constexpr std::array<int, 3> kNonBlockingTlsSince{3, 4, 10};
// From 3.4 on, a CA makes the library check the host's name too.
inline constexpr std::array<int, 3> kCaChecksHostSince{3, 4, 0};

// Why the library cannot give mode to a store of the given kind, as the end of the TlsMode key's
// refusal; empty when it can. The library's name, version and TLS library are in the reason.
inline std::string TlsModeProblem(const ClientLibraryInfo& library, daotk::mysql::tls_mode mode,
                                  bool non_blocking) {
  using daotk::mysql::tls_mode;
  if (mode == tls_mode::disabled) return {};
  const bool schannel = std::string_view(library.tls_library).starts_with("Schannel");
  const std::array<int, 3> version = ClientVersionNumbers(library.version);
  const std::string named =
      "the client library (libmariadb " +
      (library.version.empty() ? std::string("of unknown version") : library.version) + " with " +
      (library.tls_library.empty() ? std::string("an unknown TLS library") : library.tls_library) +
      ")";
  if (non_blocking && schannel) {
    return "TLS cannot be used with NonBlocking: " + named +
           " does its TLS with Schannel, whose non-blocking reads skip the encryption; use a "
           "Connector/C 3.4.10 or later built with OpenSSL, or set NonBlocking to false";
  }
  if (non_blocking && version < kNonBlockingTlsSince) {
    return "TLS cannot be used with NonBlocking: " + named +
           " waits for the server inside its TLS handshake and its reads, holding the game; use "
           "Connector/C 3.4.10 or later, or set NonBlocking to false";
  }
  if (mode == tls_mode::verify_ca && version >= kCaChecksHostSince) {
    return "VERIFY_CA cannot be given by " + named +
           (schannel ? ": with Schannel it reads the CA only where it also checks the host's "
                       "name, so it would take any certificate"
                     : ": given a CA, it also checks that the certificate names the host, as "
                       "VERIFY_IDENTITY does") +
           "; use VERIFY_IDENTITY with a MysqlHost that the certificate names";
  }
  return {};
}
