#pragma once
// Every setting of config.json as a typed value. The table in SettingsTable.cpp is the one place
// that names each key with its type, default and rule; a value of this type is built from it at
// each successful read of the file (ReadConfig) and kept in the plugin's state, which hands it to
// the code that reads a setting.

#include <functional>
#include <map>
#include <string>

#include "Database/ConnectionSettings.h"

struct DiscordSettings {
  bool enable_discord = false;
  std::string sender_name;
  std::string web_hook_url;
  std::string custom_message;
};

// Read by Load only: a reload changes them for the next load.
struct DatabaseSettings {
  std::string mysql_host;
  std::string mysql_user;
  std::string mysql_pass;
  std::string mysql_db;
  int mysql_port = 0;
  int mysql_timeout = 0;
  // The store's statements wait on nothing: they go on over the host's ticks.
  bool non_blocking = false;
  // TlsMode, and TlsCa and ClientPluginDir as absolute paths (relative ones are resolved against
  // the plugin's folder by the check); empty paths are not set.
  daotk::mysql::connection_security security;
};

struct Settings {
  int messages_duration = 0;
  bool notification_mode = false;
  bool debug = false;
  bool use_permissions = false;
  std::string permission_group_to_add;
  std::string map_name;
  bool update_player_data_on_logout = false;
  int max_code_attempts = 0;
  int code_lockout_seconds = 0;
  // At login (the login hook): the group given back to a linked player, taken from one who is not.
  bool restore_group_at_login = false;
  bool remove_group_when_unlinked = false;
  // Seconds after his login that an unlinked player is shown Messages.LinkReminder.
  int link_reminder_delay_seconds = 0;
  // Linked-only play: the seconds from a player's first login since load to the end of his grace
  // to link (0: off), and the Permissions group whose players are never sent away (empty: none).
  int require_link_seconds = 0;
  std::string require_link_exempt_group;
  DiscordSettings discord;
  DatabaseSettings database;
  // Every known Messages key, as UTF-8.
  std::map<std::string, std::string, std::less<>> messages;
};
