#pragma once
// The database servers the store may talk to, read from the MysqlHost setting: one host, or
// several separated by commas ("db1,db2:3307"), tried in that order. A host without ":port" uses
// the MysqlPort setting; an IPv6 address with a port is written in brackets ("[::1]:3307").

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

inline DatabaseServer ParseServer(std::string_view entry, std::uint32_t default_port) {
  std::string_view host = entry;
  std::string_view port_text;
  if (entry.starts_with('[')) {
    const std::size_t close = entry.find(']');
    if (close == std::string_view::npos) {
      throw std::invalid_argument("MysqlHost: missing ']' in \"" + std::string(entry) + "\"");
    }
    host = entry.substr(1, close - 1);
    const std::string_view rest = entry.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        throw std::invalid_argument("MysqlHost: unexpected text after ']' in \"" +
                                    std::string(entry) + "\"");
      }
      port_text = rest.substr(1);
    }
  } else if (const std::size_t colon = entry.find(':'); colon != std::string_view::npos) {
    // More than one colon without brackets is a bare IPv6 address.
    if (entry.find(':', colon + 1) == std::string_view::npos) {
      host = entry.substr(0, colon);
      port_text = entry.substr(colon + 1);
    }
  }
  if (host.empty()) {
    throw std::invalid_argument("MysqlHost: no host in \"" + std::string(entry) + "\"");
  }
  DatabaseServer server{std::string(host), default_port};
  if (host.data() + host.size() != entry.data() + entry.size() || !port_text.empty()) {
    std::uint32_t port = 0;
    const auto [end, error] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || error != std::errc() || end != port_text.data() + port_text.size() ||
        port == 0 || port > 65535) {
      throw std::invalid_argument("MysqlHost: bad port in \"" + std::string(entry) + "\"");
    }
    server.port = port;
  }
  return server;
}

}  // namespace detail

// The servers of a MysqlHost value, in order. A value without a comma is one server, taken as it
// stands apart from a ":port" (an empty host lets the client library use its default, as
// always). Throws std::invalid_argument naming the entry for an empty entry in a list or a port
// that is not 1 to 65535.
inline std::vector<DatabaseServer> ParseServerList(std::string_view hosts,
                                                   std::uint32_t default_port) {
  if (hosts.find(',') == std::string_view::npos && detail::TrimBlanks(hosts).empty()) {
    return {DatabaseServer{std::string(hosts), default_port}};
  }
  std::vector<DatabaseServer> servers;
  while (true) {
    const std::size_t comma = hosts.find(',');
    servers.push_back(
        detail::ParseServer(detail::TrimBlanks(hosts.substr(0, comma)), default_port));
    if (comma == std::string_view::npos) break;
    hosts.remove_prefix(comma + 1);
  }
  return servers;
}

// "host:port" for the log, with brackets around an IPv6 address.
inline std::string DescribeServer(const DatabaseServer& server) {
  const bool bracket = server.host.find(':') != std::string::npos;
  return (bracket ? "[" + server.host + "]" : server.host) + ":" + std::to_string(server.port);
}

}  // namespace veltrane
