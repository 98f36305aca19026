#include "Admin/StatusText.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace {

std::string Counted(std::uint64_t count, const char* one, const char* many) {
  return fmt::format("{} {}", count, count == 1 ? one : many);
}

std::string StoreLine(const StoreState& store) {
  switch (store.connection) {
    case StoreState::Connection::Connected:
      return "Database: connected to " + store.server +
             (store.tls_version.empty() ? " without TLS" : " over " + store.tls_version);
    case StoreState::Connection::NotYet:
      return "Database: not connected; the next statement connects to " + store.server;
    case StoreState::Connection::Connecting:
      return "Database: connecting to " + store.server;
    case StoreState::Connection::Unavailable: {
      std::string line = "Database: unavailable";
      if (store.unavailable_since != std::chrono::system_clock::time_point{})
        line += " since " + DescribeTime(store.unavailable_since);
      if (store.server.empty()) return line;
      if (store.next_attempt_in.count() == 0)
        return line + "; the next statement tries " + store.server;
      return line + fmt::format("; next attempt in {} s, to {}", store.next_attempt_in.count(),
                                store.server);
    }
    case StoreState::Connection::SwitchedOff:
      return "Database: switched off by the table check until the next load: " +
             store.switched_off_reason;
  }
  return {};
}

}  // namespace

std::string DescribeTime(std::chrono::system_clock::time_point time) {
  return fmt::format("{:%Y-%m-%d %H:%M:%S} UTC",
                     fmt::gmtime(std::chrono::system_clock::to_time_t(time)));
}

std::vector<std::string> StatusLines(const PluginStatus& status) {
  std::vector<std::string> lines{StoreLine(status.store)};
  lines.push_back(
      fmt::format("Since load: {}, {}, {}", Counted(status.links_made, "link made", "links made"),
                  Counted(status.refused_codes, "code refused", "codes refused"),
                  Counted(status.logout_refreshes, "logout refresh", "logout refreshes")));
  lines.push_back(fmt::format("Now: {} locked out, {} in doubt",
                              Counted(status.locked_out, "player", "players"),
                              Counted(status.in_doubt, "write", "writes")));
  if (status.turned_away) {
    lines.push_back(fmt::format(
        "Turned away since load, with too much waiting for the database: {}, {}",
        Counted(status.turned_away->link_commands, "link command", "link commands"),
        Counted(status.turned_away->logout_refreshes, "logout refresh", "logout refreshes")));
  }
  if (status.at_login) {
    lines.push_back(fmt::format(
        "At login since load: {}, {}, {}",
        Counted(status.at_login->groups_given_back, "group given back", "groups given back"),
        Counted(status.at_login->groups_removed, "group removed", "groups removed"),
        Counted(status.at_login->reminders_given, "reminder given", "reminders given")));
  }
  if (status.linked_only) {
    lines.push_back(fmt::format(
        "Linked-only play: {} in their grace; since load {} sent away, {} not sent away because "
        "the database could not answer",
        Counted(status.linked_only->in_grace, "player", "players"), status.linked_only->sent_away,
        status.linked_only->unanswered));
  }
  lines.push_back(fmt::format("Discord announcements: {} waiting; since load {} posted, {} dropped",
                              status.announcements_waiting, status.announcements_posted,
                              status.announcements_dropped));
  std::string config = "Configuration: last read " + DescribeTime(status.config.last_read);
  if (status.config.last_refusal)
    config += "; the last reload was refused: " + *status.config.last_refusal;
  lines.push_back(std::move(config));
  return lines;
}
