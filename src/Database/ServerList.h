#pragma once
// The database servers the store may talk to, read from the MysqlHost setting: one host, or
// several separated by commas ("db1,db2:3307"), tried in that order. A host without ":port" uses
// the MysqlPort setting. An IPv6 address stands bare ("::1") or in brackets, which it needs with a
// port ("[::1]", "[::1]:3307"). An entry that could never reach a server is refused: white space
// or a control character inside it, a colon in a host that is not an IPv6 address, a stray
// bracket, a port that is not 1 to 65535.

#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

struct DatabaseServer {
  std::string host;
  std::uint32_t port = 0;

  bool operator==(const DatabaseServer&) const = default;
};

namespace detail {

inline std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Unicode's white space beyond ASCII, and the C1 control characters, at the start of UTF-8 text:
// a no-break space pasted from a web page is as fatal to a host name as a space.
inline bool StartsWithWideBlank(std::string_view text) {
  const auto byte = [text](std::size_t at) {
    return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u;
  };
  switch (byte(0)) {
    case 0xC2:  // U+0080 to U+009F, U+00A0
      return byte(1) >= 0x80 && byte(1) <= 0xA0;
    case 0xE1:  // U+1680
      return byte(1) == 0x9A && byte(2) == 0x80;
    case 0xE2:  // U+2000 to U+200A, U+2028, U+2029, U+202F; U+205F
      return (byte(1) == 0x80 && ((byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xA8 ||
                                  byte(2) == 0xA9 || byte(2) == 0xAF)) ||
             (byte(1) == 0x81 && byte(2) == 0x9F);
    case 0xE3:  // U+3000
      return byte(1) == 0x80 && byte(2) == 0x80;
    default:
      return false;
  }
}

// No resolver finds a name with white space or a control character in it, and the client library
// would cut a name at a NUL.
inline bool HasBlankOrControl(std::string_view entry) {
  for (std::size_t at = 0; at < entry.size(); ++at) {
    const auto byte = static_cast<unsigned char>(entry[at]);
    if (byte <= 0x20 || byte == 0x7F || StartsWithWideBlank(entry.substr(at))) return true;
  }
  return false;
}

inline bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Four decimal numbers from 0 to 255 without leading zeros, as the tail of an IPv6 address.
inline bool IsDottedQuad(std::string_view text) {
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = text.find('.');
    const std::string_view number = text.substr(0, dot);
    if ((part < 3) == (dot == std::string_view::npos)) return false;
    if (number.empty() || number.size() > 3 || (number.size() > 1 && number.front() == '0'))
      return false;
    int value = 0;
    for (const char c : number) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
    if (dot != std::string_view::npos) text.remove_prefix(dot + 1);
  }
  return true;
}

// The 16-bit groups that text (without "::") stands for, or -1: groups of one to four hex digits
// separated by single colons, the last of them maybe a dotted quad (two groups) when it may end
// the address.
inline int CountIPv6Groups(std::string_view text, bool may_end_in_quad) {
  if (text.empty()) return 0;
  int groups = 0;
  for (;;) {
    const std::size_t colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (colon == std::string_view::npos && may_end_in_quad && IsDottedQuad(group))
      return groups + 2;
    if (group.empty() || group.size() > 4) return -1;
    for (const char c : group) {
      if (!IsHexDigit(c)) return -1;
    }
    ++groups;
    if (colon == std::string_view::npos) return groups;
    text.remove_prefix(colon + 1);
  }
}

// An IPv6 address in its text forms: eight groups, or fewer with one "::" for the groups of zeros
// left out, and a zone after "%" ("fe80::1%eth0") as the resolver takes it.
inline bool IsIPv6Address(std::string_view text) {
  if (const std::size_t percent = text.find('%'); percent != std::string_view::npos) {
    const std::string_view zone = text.substr(percent + 1);
    if (zone.empty()) return false;
    for (const char c : zone) {
      const bool name_character = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                                  (c >= 'A' && c <= 'Z') || c == '.' || c == '_' || c == '-';
      if (!name_character) return false;
    }
    text = text.substr(0, percent);
  }
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) return CountIPv6Groups(text, true) == 8;
  if (text.find("::", gap + 1) != std::string_view::npos) return false;
  const int before = CountIPv6Groups(text.substr(0, gap), false);
  const int after = CountIPv6Groups(text.substr(gap + 2), true);
  return before >= 0 && after >= 0 && before + after <= 7;
}

// One entry of the list, or what is wrong with it. The texts name the entry by its place and never
// quote it, so that they can stand in a reply to an administrator.
struct ParsedServer {
  DatabaseServer server;
  std::string problem;
};

inline ParsedServer ParseServer(std::string_view entry, std::size_t place,
                                std::uint32_t default_port) {
  const auto refused = [place](std::string_view why) {
    return ParsedServer{{}, "entry " + std::to_string(place) + " " + std::string(why)};
  };
  if (entry.empty()) return refused("is empty");
  if (HasBlankOrControl(entry)) return refused("has white space or a control character in it");
  std::string_view host = entry;
  std::string_view port_text;
  bool has_port = false;
  if (entry.starts_with('[')) {
    const std::size_t close = entry.find(']');
    if (close == std::string_view::npos) return refused("has no closing ']'");
    host = entry.substr(1, close - 1);
    const std::string_view rest = entry.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return refused("has text after ']' other than \":port\"");
      port_text = rest.substr(1);
      has_port = true;
    }
  } else if (const std::size_t colon = entry.find(':'); colon != std::string_view::npos) {
    // More than one colon without brackets can only be a bare IPv6 address, checked below.
    if (entry.find(':', colon + 1) == std::string_view::npos) {
      host = entry.substr(0, colon);
      port_text = entry.substr(colon + 1);
      has_port = true;
    }
  }
  if (host.empty()) return refused("has no host");
  if (host.find_first_of("[]") != std::string_view::npos)
    return refused("has a '[' or ']' out of place");
  // "x:3307:" would otherwise go to the resolver as an address it can never read.
  if (host.find(':') != std::string_view::npos && !IsIPv6Address(host))
    return refused("names a host with ':' that is not an IPv6 address");
  ParsedServer parsed{{std::string(host), default_port}, {}};
  if (has_port) {
    std::uint32_t port = 0;
    const auto [end, error] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || error != std::errc() || end != port_text.data() + port_text.size() ||
        port == 0 || port > 65535) {
      return refused("has a port that is not a number from 1 to 65535");
    }
    parsed.server.port = port;
  }
  return parsed;
}

// The servers, or the first entry's problem.
inline std::vector<DatabaseServer> ParseServers(std::string_view hosts, std::uint32_t default_port,
                                                std::string* problem) {
  // Only a value with nothing at all in it leaves the host to the client library; blanks are an
  // empty entry like any other.
  if (hosts.empty()) return {DatabaseServer{std::string(), default_port}};
  std::vector<DatabaseServer> servers;
  for (std::size_t place = 1;; ++place) {
    const std::size_t comma = hosts.find(',');
    ParsedServer parsed = ParseServer(TrimBlanks(hosts.substr(0, comma)), place, default_port);
    if (!parsed.problem.empty()) {
      *problem = std::move(parsed.problem);
      return {};
    }
    servers.push_back(std::move(parsed.server));
    if (comma == std::string_view::npos) break;
    hosts.remove_prefix(comma + 1);
  }
  return servers;
}

}  // namespace detail

// The servers of a MysqlHost value, in order; an empty value is one server with an empty host,
// which lets the client library use its default, as always. Throws std::invalid_argument,
// "MysqlHost: " and the problem of the first entry that could never reach a server (ParseServer).
inline std::vector<DatabaseServer> ParseServerList(std::string_view hosts,
                                                   std::uint32_t default_port) {
  std::string problem;
  std::vector<DatabaseServer> servers = detail::ParseServers(hosts, default_port, &problem);
  if (!problem.empty()) throw std::invalid_argument("MysqlHost: " + problem);
  return servers;
}

// What ParseServerList would refuse in hosts ("entry 2 is empty"), or an empty text; the
// configuration check asks this, so that no list the store cannot use goes live.
inline std::string ServerListProblem(std::string_view hosts) {
  std::string problem;
  // The port a host without one takes plays no part in a problem.
  detail::ParseServers(hosts, 0, &problem);
  return problem;
}

// "host:port" for the log, with brackets around an IPv6 address.
inline std::string DescribeServer(const DatabaseServer& server) {
  const bool bracket = server.host.find(':') != std::string::npos;
  return (bracket ? "[" + server.host + "]" : server.host) + ":" + std::to_string(server.port);
}

}  // namespace veltrane
