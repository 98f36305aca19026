#pragma once
// The configuration's settings as typed values, built from config at each successful read.

#include <functional>
#include <map>
#include <string>

struct DiscordSettings {
  bool enable_discord = false;
  std::string sender_name, web_hook_url, custom_message;
};

struct DatabaseSettings {
  std::string mysql_host, mysql_user, mysql_pass, mysql_db;
  int mysql_port = 3306;
  int mysql_timeout = 10;
};

struct Settings {
  int messages_duration = 10;
  bool notification_mode = true;
  bool debug = false;
  bool use_permissions = false;
  std::string permission_group_to_add, map_name;
  bool update_player_data_on_logout = false;
  int max_code_attempts = 5;
  int code_lockout_seconds = 300;
  DiscordSettings discord;
  DatabaseSettings database;
  std::map<std::string, std::string, std::less<>> messages;  // UTF-8, every known key
};

// The settings of the live config, replaced together with it by each successful read.
const Settings& LiveSettings();
