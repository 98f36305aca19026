#pragma once
// The database servers the store may talk to, read from the MysqlHost setting: one host, or
// several separated by commas ("db1,db2:3307"), tried in that order. A host without ":port" uses
// the MysqlPort setting. An IPv6 address stands bare ("::1") or in brackets, which it needs with a
// port ("[::1]", "[::1]:3307").

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
    // More than one colon without brackets is a bare IPv6 address.
    if (entry.find(':', colon + 1) == std::string_view::npos) {
      host = entry.substr(0, colon);
      port_text = entry.substr(colon + 1);
      has_port = true;
    }
  }
  if (host.empty()) return refused("has no host");
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
  if (hosts.find(',') == std::string_view::npos && TrimBlanks(hosts).empty()) {
    return {DatabaseServer{std::string(hosts), default_port}};
  }
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

// The servers of a MysqlHost value, in order. A value without a comma is one server, taken as it
// stands apart from a ":port" (an empty host lets the client library use its default, as
// always). Throws std::invalid_argument, "MysqlHost: " and the problem, for an empty entry in a
// list, an entry without a host, or a port that is not 1 to 65535.
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
