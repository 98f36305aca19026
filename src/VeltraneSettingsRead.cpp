// Until the key table builds the typed settings: read from config with the defaults the readers
// used.
#include "VeltraneConfig.h"
#include "VeltraneSettings.h"

const Settings& LiveSettings() {
  static Settings settings;
  nlohmann::json& s = config["Settings"];
  settings.messages_duration = s.value("MessagesDuration", 10);
  settings.notification_mode = s.value("NotificationMode", true);
  settings.debug = s.value("debug", false);
  settings.use_permissions = s.value("UsePermissions", false);
  settings.permission_group_to_add = s.value("PermissionGroupToAdd", "Verified");
  settings.map_name = s.value("MapName", "TheIsland");
  settings.update_player_data_on_logout = s.value("UpdatePlayerDataOnLogout", false);
  settings.max_code_attempts = s.value("MaxCodeAttempts", 5);
  settings.code_lockout_seconds = s.value("CodeLockoutSeconds", 300);
  nlohmann::json& discord = s["Discord"];
  settings.discord.enable_discord = discord.value("EnableDiscord", false);
  settings.discord.sender_name = discord.value("SenderName", "MyARK");
  settings.discord.web_hook_url = discord.value("WebHookUrl", "");
  settings.discord.custom_message = discord.value(
      "CustomMessage",
      "Player {CharacterName} with EOS-ID {EOS} linked his account in the map {MapName}");
  nlohmann::json& database = config["Database"];
  settings.database.mysql_port = database.value("MysqlPort", 3306);
  settings.database.mysql_db = database.value("MysqlDB", "");
  settings.database.mysql_pass = database.value("MysqlPass", "");
  settings.database.mysql_user = database.value("MysqlUser", "");
  settings.database.mysql_host = database.value("MysqlHost", "");
  settings.database.mysql_timeout = database.value("MysqlTimeout", 10);
  return settings;
}
