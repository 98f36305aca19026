#pragma once
// Everything the plugin holds between host calls, in one object: created by Load, destroyed by
// Unload. Only the host callbacks in Veltrane.cpp reach it; they hand it on to the code they call.
// The configuration document (config) and the game's own logout (game_logout) stay module-level,
// as the host and the reload know them.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Admin/StatusText.h"
#include "Configuration/Settings.h"
#include "Configuration/SettingsTable.h"
#include "Database/IDatabase.h"
#include "Discord/AnnouncementPosts.h"
#include "Linking/CodeAttemptLimiter.h"
#include "Linking/LinkFlow.h"
#include "Linking/LinkGraces.h"
#include "Linking/LinkReminders.h"
#include "Linking/PendingWork.h"
#include "Plugin/CommandTable.h"

// One registration Load made with the host, which is what Unload removes: after a failed load the
// Windows loader still detaches the module, and the host's names are not the plugin's to remove
// then.
struct Registration {
  Place place = Place::Chat;
  // The name it was registered under: for the chat command the text LinkDiscordCmd had at load,
  // which a reload may change while the command registered stays. Plain std::u16string, not
  // FString, since the game's allocator may be gone when this is destroyed.
  std::u16string name;
  void* detour = nullptr;  // a hook's
};

struct PluginState {
  // The settings of the configuration read last, replaced by each successful read (Load, the
  // reload commands); every key's default before the first.
  Settings settings = DefaultSettings();
  std::unique_ptr<IDatabase> account_store;
  // MysqlTimeout as the store was made with it: a reload changes it for the next load only.
  int mysql_timeout_at_load = 0;
  CodeAttemptLimiter limiter;
  // In the order they were made.
  std::vector<Registration> registered;
  LinkCounters link_counters;
  std::uint64_t logout_refreshes = 0;  // rows refreshed at logout since load
  // Installed at load when the settings then asked for it; a reload changes only what it does.
  bool login_hook_installed = false;
  LoginCounts login_counts;
  // The reminders to link waiting for their time, advanced by the tick.
  LinkReminders reminders;
  // Linked-only play's graces to link, advanced by the tick.
  LinkGraces graces;
  ConfigReads config_reads;
  // Set by the unload: the tasks finished then show their players nothing.
  bool replies_dropped = false;
  // The link announcements waiting for their post, and the webhook's pace.
  DiscordAnnouncements announcements;
  // The store's tasks, last: they refer to the members above and end before them.
  PendingWork work;

  // The link command's flow over this state.
  LinkFlow Links() { return LinkFlow(*account_store, limiter, link_counters); }
};
