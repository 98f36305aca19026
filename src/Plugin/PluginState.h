#pragma once
// Everything the plugin holds between host calls, in one object: created by Load, destroyed by
// Unload. Only the host callbacks in Veltrane.cpp reach it; they hand it on to the code they call.
// The configuration document (config) and the game's own logout (game_logout) stay module-level,
// as the host and the reload know them.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Admin/StatusText.h"
#include "Configuration/Settings.h"
#include "Configuration/SettingsTable.h"
#include "Database/IDatabase.h"
#include "Linking/CodeAttemptLimiter.h"
#include "Linking/LinkFlow.h"
#include "Linking/LinksInDoubt.h"

// What Load registered with the host, which is what Unload removes: after a failed load the
// Windows loader still detaches the module, and the host's names are not the plugin's to remove
// then.
struct Registrations {
  // The text the chat command was registered under: a reload may change LinkDiscordCmd, but
  // Unload must remove the command that exists. Plain std::u16string, not FString, since the
  // game's allocator may be gone when this is destroyed.
  std::u16string link_command;
  bool chat_command = false;
  bool console_command = false;
  bool rcon_command = false;
  bool admin_commands = false;
  bool logout_hook = false;
};

struct PluginState {
  // The settings of the configuration read last, replaced by each successful read (Load, the
  // reload commands); every key's default before the first.
  Settings settings = DefaultSettings();
  std::unique_ptr<IDatabase> account_store;
  CodeAttemptLimiter limiter;
  LinksInDoubt links_in_doubt;
  Registrations registered;
  LinkCounters link_counters;
  std::uint64_t logout_refreshes = 0;  // rows refreshed at logout since load
  ConfigReads config_reads;

  // The link command's flow over this state.
  LinkFlow Links() { return LinkFlow(*account_store, limiter, links_in_doubt, link_counters); }
};
