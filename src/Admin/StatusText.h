#pragma once
// What Veltrane.Status says: the store's state, what happened since load, and the configuration's
// reads. Pure: the facts are gathered by the command. No secret is among them: servers are named
// by host and port, reasons are the table check's and the configuration check's own words, which
// quote nothing of the file.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Database/IDatabase.h"

// When the configuration was read, and what became of the last reload.
struct ConfigReads {
  std::chrono::system_clock::time_point last_read{};
  // Why the last reload was refused; nothing when it succeeded or none was tried.
  std::optional<std::string> last_refusal;
};

// A non-blocking store's work turned away since load, while too much waited for the database.
struct TurnedAwayWork {
  std::uint64_t link_commands = 0;     // refused
  std::uint64_t logout_refreshes = 0;  // given up
};

// What the login hook did since load.
struct LoginCounts {
  std::uint64_t groups_given_back = 0;
  std::uint64_t groups_removed = 0;
  std::uint64_t reminders_given = 0;
};

// Linked-only play: players in their grace now; since load, players sent away, and players not
// sent away at the end of their grace because the database could not answer.
struct LinkedOnlyCounts {
  std::size_t in_grace = 0;
  std::uint64_t sent_away = 0;
  std::uint64_t unanswered = 0;
};

struct PluginStatus {
  StoreState store;
  std::uint64_t links_made = 0;
  std::uint64_t refused_codes = 0;
  std::uint64_t logout_refreshes = 0;
  std::size_t locked_out = 0;                 // players locked out of linking now
  std::size_t in_doubt = 0;                   // writes whose outcome is not known yet
  std::optional<TurnedAwayWork> turned_away;  // a non-blocking store's only
  std::optional<LoginCounts> at_login;        // while the login hook is installed
  std::optional<LinkedOnlyCounts> linked_only;  // while linked-only play is on
  // Discord announcements: waiting for their post now; posted and dropped since load.
  std::size_t announcements_waiting = 0;
  std::uint64_t announcements_posted = 0;
  std::uint64_t announcements_dropped = 0;
  ConfigReads config;
};

// "2026-12-07 17:04:20 UTC".
std::string DescribeTime(std::chrono::system_clock::time_point time);

// The reply's lines, the first one the store's state.
std::vector<std::string> StatusLines(const PluginStatus& status);
