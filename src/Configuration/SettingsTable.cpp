#include "Configuration/SettingsTable.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "Configuration/RegularFile.h"
#include "Database/ServerList.h"
#include "Discord/DiscordRules.h"
#include "host/Tools.h"

namespace {

enum class Expect { Section, Text, Boolean, Integer };

// What is wrong with a value of the right type, or an empty text; never quotes the value.
using Rule = std::string (*)(const nlohmann::json& value);
// Puts the value read (the key's own, or its default) into its field.
using Store = void (*)(Settings& settings, std::string_view name, const nlohmann::json& value);
// What is wrong with the key's value given the other keys, or an empty text; asked once every key
// has been read.
using Needs = std::string (*)(const Settings& settings);

struct SettingKey {
  std::string_view section;  // "" for the document itself, "Settings.Discord" for nested ones
  std::string_view name;
  Expect expect;
  Store store = nullptr;
  std::string_view default_text = {};  // Text
  std::int64_t default_number = 0;     // Boolean (0 or 1) and Integer
  std::int64_t min = 0;                // Integer only: the range of the value as it is read
  std::int64_t max = 0;
  Rule rule = nullptr;  // for a value that must also work where it is used
  Needs needs = nullptr;
  bool zero_turns_off = false;  // Integer only: 0 is taken too, below min
};

constexpr SettingKey Section(std::string_view section, std::string_view name) {
  return {section, name, Expect::Section};
}
constexpr SettingKey Text(std::string_view section, std::string_view name, Store store,
                          std::string_view fallback, Rule rule = nullptr, Needs needs = nullptr) {
  return {section, name, Expect::Text, store, fallback, 0, 0, 0, rule, needs};
}
constexpr SettingKey Boolean(std::string_view section, std::string_view name, Store store,
                             bool fallback, Needs needs = nullptr) {
  return {section, name, Expect::Boolean, store, {}, fallback ? 1 : 0, 0, 0, nullptr, needs};
}
constexpr SettingKey Integer(std::string_view section, std::string_view name, Store store,
                             std::int64_t fallback, std::int64_t min, std::int64_t max) {
  return {section, name, Expect::Integer, store, {}, fallback, min, max};
}
// An integer that is 0 to turn its feature off, or else within min to max.
constexpr SettingKey IntegerOrOff(std::string_view section, std::string_view name, Store store,
                                  std::int64_t min, std::int64_t max) {
  SettingKey key = Integer(section, name, store, 0, min, max);
  key.zero_turns_off = true;
  return key;
}

// The store's own parser: a list it cannot use would leave every player DatabaseUnavailable until
// the next load.
std::string HostListProblem(const nlohmann::json& value) {
  return veltrane::ServerListProblem(value.get<std::string>());
}

// A reply the formatter refuses would fail only when a player is answered, after the link.
std::string ReplyTextProblem(const nlohmann::json& value) {
  return ReplyFormatProblem(AsaApi::Tools::Utf8Decode(value.get<std::string>()));
}

// Discord answers a name it refuses with 400, which the plugin never hears of.
std::string SenderNameProblem(const nlohmann::json& value) {
  return veltrane::DiscordNameProblem(AsaApi::Tools::Utf8Decode(value.get<std::string>()));
}

// An integer as the rules read it: a fraction cut toward zero, true 1 and false 0; the range has
// been checked, so it fits.
int AsInt(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_float()) return static_cast<int>(std::trunc(value.get<double>()));
  return static_cast<int>(value.get<std::int64_t>());
}

// A group step at login without the group would do nothing, silently.
std::string GroupStepProblem(bool on, const Settings& settings) {
  if (!on) return "";
  if (!settings.use_permissions) return "needs Settings.UsePermissions set to true";
  if (settings.permission_group_to_add.empty())
    return "needs a group in Settings.PermissionGroupToAdd";
  return "";
}

// The group exempt from linked-only play is a Permissions group, asked of the Permissions plugin.
std::string ExemptGroupProblem(const Settings& settings) {
  if (settings.require_link_exempt_group.empty() || settings.use_permissions) return "";
  return "needs Settings.UsePermissions set to true";
}

// Linked-only play sends players away with this text; an empty one would tell them nothing.
std::string KickTextProblem(const Settings& settings) {
  const auto text = settings.messages.find("KickUnlinked");
  if (settings.require_link_seconds == 0 ||
      (text != settings.messages.end() && !text->second.empty()))
    return "";
  return "needs a text while Settings.RequireLinkSeconds is on";
}

void StoreMessage(Settings& settings, std::string_view name, const nlohmann::json& value) {
  settings.messages[std::string(name)] = value.get<std::string>();
}

// MySQL's names of the TLS modes.
struct TlsModeName {
  std::string_view name;
  daotk::mysql::tls_mode mode;
};
constexpr TlsModeName kTlsModes[] = {
    {"DISABLED", daotk::mysql::tls_mode::disabled},
    {"REQUIRED", daotk::mysql::tls_mode::required},
    {"VERIFY_CA", daotk::mysql::tls_mode::verify_ca},
    {"VERIFY_IDENTITY", daotk::mysql::tls_mode::verify_identity},
};

std::string TlsModeProblem(const nlohmann::json& value) {
  for (const TlsModeName& known : kTlsModes)
    if (known.name == value.get<std::string>()) return "";
  return "not a mode; expected DISABLED, REQUIRED, VERIFY_CA or VERIFY_IDENTITY";
}

void StoreTlsMode(Settings& settings, std::string_view, const nlohmann::json& value) {
  for (const TlsModeName& known : kTlsModes)
    if (known.name == value.get<std::string>()) settings.database.security.tls = known.mode;
}

// A CA file larger than this is no CA the plugin means.
constexpr std::size_t kMaxCaBytes = std::size_t{1024} * 1024;

std::filesystem::path PathOfUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8OfPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A relative path starts from the plugin's folder.
std::string Resolved(const std::string& path, const std::string& plugin_folder) {
  if (path.empty() || plugin_folder.empty() || PathOfUtf8(path).is_absolute()) return path;
  return Utf8OfPath(PathOfUtf8(plugin_folder) / PathOfUtf8(path));
}

// At least one certificate in PEM: its BEGIN line, base64, its END line. What the base64 holds is
// the TLS library's to judge; a file without it fails every connection with "no certificate or
// crl found", which names no key.
bool HoldsPemCertificate(std::string_view text) {
  constexpr std::string_view kBegin = "-----BEGIN ";
  constexpr std::string_view kDashes = "-----";
  for (std::size_t begin = text.find(kBegin); begin != std::string_view::npos;
       begin = text.find(kBegin, begin + 1)) {
    const std::size_t label_at = begin + kBegin.size();
    const std::size_t label_end = text.find(kDashes, label_at);
    if (label_end == std::string_view::npos) return false;
    const std::string_view label = text.substr(label_at, label_end - label_at);
    if (label != "CERTIFICATE" && label != "TRUSTED CERTIFICATE" && label != "X509 CERTIFICATE")
      continue;
    const std::size_t body = label_end + kDashes.size();
    const std::string end_line = "-----END " + std::string(label) + "-----";
    const std::size_t end = text.find(end_line, body);
    if (end == std::string_view::npos) return false;
    std::size_t letters = 0;
    bool base64 = true;
    for (const char c : text.substr(body, end - body)) {
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
          c == '/' || c == '=') {
        ++letters;
      } else if (c != '\n' && c != '\r' && c != ' ' && c != '\t') {
        base64 = false;
      }
    }
    if (base64 && letters > 0) return true;
  }
  return false;
}

std::string CaFileProblem(const std::string& path) {
  RegularFileContent file = ReadRegularFile(path, kMaxCaBytes);
  switch (file.outcome) {
    case FileRead::Read:
      return HoldsPemCertificate(file.bytes)
                 ? ""
                 : "holds no certificate in PEM (-----BEGIN CERTIFICATE-----); the TlsMode's "
                   "check needs the CA's certificate";
    case FileRead::CannotOpen:
      return "cannot open the file";
    case FileRead::NotRegularFile:
      return "not a regular file";
    case FileRead::TooLarge:
      return "larger than 1 MiB, no CA file";
    case FileRead::ReadFailed:
      break;
  }
  return "cannot read the file";
}

std::string FolderProblem(const std::string& path) {
  std::error_code error;
  const std::filesystem::path folder = PathOfUtf8(path);
  if (!std::filesystem::is_directory(folder, error)) return "no such folder";
  std::filesystem::directory_iterator listing(folder, error);
  return error ? "cannot read the folder" : "";
}

// The TLS keys taken together, once each has checked on its own; the paths are resolved here.
void CheckSecurity(DatabaseSettings& database, const CheckPlace& place) {
  daotk::mysql::connection_security& security = database.security;
  security.tls_ca = Resolved(security.tls_ca, place.plugin_folder);
  security.client_plugin_dir = Resolved(security.client_plugin_dir, place.plugin_folder);
  // The library may wait inside its TLS calls, or check more or less than the mode says.
  if (security.tls != daotk::mysql::tls_mode::disabled && place.client_library != nullptr) {
    const std::string problem =
        TlsModeProblem(place.client_library(), security.tls, database.non_blocking);
    if (!problem.empty()) throw std::runtime_error("Database.TlsMode: " + problem);
  }
  const bool verifies = security.tls == daotk::mysql::tls_mode::verify_ca ||
                        security.tls == daotk::mysql::tls_mode::verify_identity;
  if (verifies && security.tls_ca.empty())
    throw std::runtime_error(
        "Database.TlsCa: missing; the TlsMode VERIFY_CA and VERIFY_IDENTITY check the server's "
        "certificate against the CA in this PEM file");
  if (!security.tls_ca.empty()) {
    if (const std::string problem = CaFileProblem(security.tls_ca); !problem.empty())
      throw std::runtime_error("Database.TlsCa: " + problem);
  }
  if (!security.client_plugin_dir.empty()) {
    if (const std::string problem = FolderProblem(security.client_plugin_dir); !problem.empty())
      throw std::runtime_error("Database.ClientPluginDir: " + problem);
  }
}

constexpr char kDefaultCustomMessage[] =
    "Player {CharacterName} with EOS-ID {EOS} linked his account in the map {MapName}";

// Every key the plugin reads, checked at load and at each reload before a document goes live.
// A section comes before its keys.
constexpr SettingKey kSettingKeys[] = {
    Section("", "Settings"),
    Section("Settings", "Discord"),
    Section("", "Messages"),
    Section("", "Database"),

    Integer(
        "Settings", "MessagesDuration",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.messages_duration = AsInt(v);
        },
        10, 1, 3600),
    Boolean(
        "Settings", "NotificationMode",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.notification_mode = v.get<bool>();
        },
        true),
    Boolean(
        "Settings", "debug",
        [](Settings& s, std::string_view, const nlohmann::json& v) { s.debug = v.get<bool>(); },
        false),
    Boolean(
        "Settings", "UsePermissions",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.use_permissions = v.get<bool>();
        },
        false),
    Text(
        "Settings", "PermissionGroupToAdd",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.permission_group_to_add = v.get<std::string>();
        },
        "Verified"),
    Text(
        "Settings", "MapName",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.map_name = v.get<std::string>();
        },
        "TheIsland"),
    Boolean(
        "Settings", "UpdatePlayerDataOnLogout",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.update_player_data_on_logout = v.get<bool>();
        },
        false),
    Integer(
        "Settings", "MaxCodeAttempts",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.max_code_attempts = AsInt(v);
        },
        5, 0, 1000),
    Integer(
        "Settings", "CodeLockoutSeconds",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.code_lockout_seconds = AsInt(v);
        },
        300, 1, 86400),
    Boolean(
        "Settings", "RestoreGroupAtLogin",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.restore_group_at_login = v.get<bool>();
        },
        false, [](const Settings& s) { return GroupStepProblem(s.restore_group_at_login, s); }),
    Boolean(
        "Settings", "RemoveGroupWhenUnlinked",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.remove_group_when_unlinked = v.get<bool>();
        },
        false, [](const Settings& s) { return GroupStepProblem(s.remove_group_when_unlinked, s); }),
    Integer(
        "Settings", "LinkReminderDelaySeconds",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.link_reminder_delay_seconds = AsInt(v);
        },
        60, 0, 3600),
    IntegerOrOff(
        "Settings", "RequireLinkSeconds",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.require_link_seconds = AsInt(v);
        },
        10, 86400),
    Text(
        "Settings", "RequireLinkExemptGroup",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.require_link_exempt_group = v.get<std::string>();
        },
        "", nullptr, &ExemptGroupProblem),

    Boolean(
        "Settings.Discord", "EnableDiscord",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.discord.enable_discord = v.get<bool>();
        },
        false),
    Text(
        "Settings.Discord", "SenderName",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.discord.sender_name = v.get<std::string>();
        },
        "MyARK", &SenderNameProblem),
    Text(
        "Settings.Discord", "WebHookUrl",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.discord.web_hook_url = v.get<std::string>();
        },
        ""),
    Text(
        "Settings.Discord", "CustomMessage",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.discord.custom_message = v.get<std::string>();
        },
        kDefaultCustomMessage),

    Text("Messages", "LinkDiscordCmd", &StoreMessage, kMissingMessageText),
    Text("Messages", "Sender", &StoreMessage, kMissingMessageText),
    Text("Messages", "CmdUsage", &StoreMessage, kMissingMessageText, &ReplyTextProblem),
    Text("Messages", "AccountAlredyLinked", &StoreMessage, kMissingMessageText, &ReplyTextProblem),
    Text("Messages", "InvalidCode", &StoreMessage, kMissingMessageText, &ReplyTextProblem),
    Text("Messages", "AccountLinked", &StoreMessage, kMissingMessageText, &ReplyTextProblem),
    Text("Messages", "TooManyAttempts", &StoreMessage, kMissingMessageText, &ReplyTextProblem),
    Text("Messages", "DatabaseUnavailable", &StoreMessage, kMissingMessageText, &ReplyTextProblem),
    // Missing or empty: no reminder.
    Text("Messages", "LinkReminder", &StoreMessage, "", &ReplyTextProblem),
    // Linked-only play: the text a player is sent away with, and the warning before (empty: none).
    Text("Messages", "KickUnlinked", &StoreMessage, "", &ReplyTextProblem, &KickTextProblem),
    Text("Messages", "RequireLinkWarning", &StoreMessage, "", &ReplyTextProblem),

    Text(
        "Database", "MysqlHost",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.mysql_host = v.get<std::string>();
        },
        "", &HostListProblem),
    Text(
        "Database", "MysqlUser",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.mysql_user = v.get<std::string>();
        },
        ""),
    Text(
        "Database", "MysqlPass",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.mysql_pass = v.get<std::string>();
        },
        ""),
    Text(
        "Database", "MysqlDB",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.mysql_db = v.get<std::string>();
        },
        ""),
    Integer(
        "Database", "MysqlPort",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.mysql_port = AsInt(v);
        },
        3306, 1, 65535),
    Integer(
        "Database", "MysqlTimeout",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.mysql_timeout = AsInt(v);
        },
        10, 0, 3600),
    Boolean(
        "Database", "NonBlocking",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.non_blocking = v.get<bool>();
        },
        false),
    Text("Database", "TlsMode", &StoreTlsMode, "DISABLED", &TlsModeProblem),
    Text(
        "Database", "TlsCa",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.security.tls_ca = v.get<std::string>();
        },
        ""),
    Text(
        "Database", "ClientPluginDir",
        [](Settings& s, std::string_view, const nlohmann::json& v) {
          s.database.security.client_plugin_dir = v.get<std::string>();
        },
        ""),
};

constexpr std::string_view kSections[] = {"", "Settings", "Settings.Discord", "Messages",
                                          "Database"};

std::string PathOf(std::string_view section, std::string_view name) {
  return section.empty() ? std::string(name) : fmt::format("{}.{}", section, name);
}

// The section at a dotted path; every section on the way has been checked to be an object.
const nlohmann::json& SectionAt(const nlohmann::json& document, std::string_view path) {
  const nlohmann::json* section = &document;
  while (!path.empty()) {
    const std::size_t dot = path.find('.');
    section = &section->at(std::string(path.substr(0, dot)));
    path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
  }
  return *section;
}

std::string Expected(const SettingKey& key) {
  switch (key.expect) {
    case Expect::Section:
      return "an object";
    case Expect::Text:
      return "text";
    case Expect::Boolean:
      return "true or false";
    case Expect::Integer:
      return fmt::format("{}an integer from {} to {}", key.zero_turns_off ? "0 or " : "", key.min,
                         key.max);
  }
  return "";
}

// What was found, by kind only: any text or any number outside an integer key may be a secret.
std::string Found(const nlohmann::json& value, Expect expect) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      return "null";
    case nlohmann::json::value_t::boolean:
      return value.get<bool>() ? "true" : "false";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      return expect == Expect::Integer ? value.dump() : "a number";
    case nlohmann::json::value_t::string:
      return "text";
    case nlohmann::json::value_t::array:
      return "an array";
    case nlohmann::json::value_t::object:
      return "an object";
    default:
      return "binary data";
  }
}

// An integer reads as the written rules read it (a fraction is cut toward zero, true is 1, false
// is 0); the range applies to the value so read.
bool IntegerFits(const nlohmann::json& value, std::int64_t min, std::int64_t max) {
  switch (value.type()) {
    case nlohmann::json::value_t::boolean: {
      const std::int64_t read = value.get<bool>() ? 1 : 0;
      return read >= min && read <= max;
    }
    case nlohmann::json::value_t::number_integer: {
      const std::int64_t read = value.get<std::int64_t>();
      return read >= min && read <= max;
    }
    case nlohmann::json::value_t::number_unsigned: {
      // The parser gives every integer without a minus sign this kind, 0 included.
      const std::uint64_t read = value.get<std::uint64_t>();
      return (min <= 0 || read >= static_cast<std::uint64_t>(min)) &&
             read <= static_cast<std::uint64_t>(max);
    }
    case nlohmann::json::value_t::number_float: {
      const double read = std::trunc(value.get<double>());
      return read >= static_cast<double>(min) && read <= static_cast<double>(max);
    }
    default:
      return false;
  }
}

bool Fits(const nlohmann::json& value, const SettingKey& key) {
  switch (key.expect) {
    case Expect::Section:
      return value.is_object();
    case Expect::Text:
      return value.is_string();
    case Expect::Boolean:
      return value.is_boolean();
    case Expect::Integer:
      return IntegerFits(value, key.min, key.max) ||
             (key.zero_turns_off && IntegerFits(value, 0, 0));
  }
  return false;
}

bool IsKnown(std::string_view section, const std::string& name) {
  for (const SettingKey& key : kSettingKeys)
    if (key.section == section && key.name == name) return true;
  return false;
}

nlohmann::json DefaultOf(const SettingKey& key) {
  switch (key.expect) {
    case Expect::Text:
      return std::string(key.default_text);
    case Expect::Boolean:
      return key.default_number != 0;
    case Expect::Integer:
      return key.default_number;
    case Expect::Section:
      break;
  }
  return nullptr;
}

// The names the parser gives the token it expected; they follow the quoted input in its texts.
constexpr std::string_view kTokenNames[] = {"<uninitialized>",
                                            "true literal",
                                            "false literal",
                                            "null literal",
                                            "string literal",
                                            "number literal",
                                            "'['",
                                            "'{'",
                                            "']'",
                                            "'}'",
                                            "':'",
                                            "','",
                                            "<parse error>",
                                            "end of input",
                                            "'[', '{', or a literal",
                                            "unknown token"};

// The parser's text without its "last read: '...'" part, which quotes the document (a password
// cut off by the end of the file, for one). The position and what was expected stay.
std::string WithoutQuotedInput(std::string text) {
  if (text.starts_with("[json.exception.")) {
    const std::size_t end = text.find("] ");
    if (end != std::string::npos) text.erase(0, end + 2);
  }
  constexpr std::string_view kLastRead = "; last read: '";
  const std::size_t start = text.find(kLastRead);
  if (start == std::string::npos) return text;
  const std::size_t open_quote = start + kLastRead.size() - 1;
  std::size_t close_quote = std::string::npos;
  for (const std::string_view name : kTokenNames) {
    const std::string tail = fmt::format("'; expected {}", name);
    if (text.size() > open_quote + tail.size() && text.ends_with(tail)) {
      close_quote = text.size() - tail.size();
      break;
    }
  }
  if (close_quote == std::string::npos && text.size() > open_quote + 1 && text.ends_with('\''))
    close_quote = text.size() - 1;
  if (close_quote == std::string::npos) {
    text.erase(start);
  } else {
    text.erase(start, close_quote + 1 - start);
  }
  return text;
}

nlohmann::json Parse(const std::string& content) {
  // The stream reader reads one value and leaves whatever follows it.
  std::istringstream stream(content);
  nlohmann::json document;
  try {
    stream >> document;
  } catch (const nlohmann::json::parse_error& error) {
    throw std::runtime_error("config.json: " + WithoutQuotedInput(error.what()));
  } catch (const nlohmann::json::out_of_range&) {
    // The only one the parser throws is a number beyond a double; its text quotes the number.
    throw std::runtime_error("config.json: a number is too large");
  } catch (const nlohmann::json::exception& error) {
    throw std::runtime_error(fmt::format("config.json: not valid JSON (error {})", error.id));
  }
  return document;
}

}  // namespace

Settings DefaultSettings() {
  Settings settings;
  for (const SettingKey& key : kSettingKeys) {
    if (key.store != nullptr) key.store(settings, key.name, DefaultOf(key));
  }
  return settings;
}

nlohmann::json ParseConfig(const std::string& content) { return Parse(content); }

CheckedConfig CheckConfig(const nlohmann::json& document, const CheckPlace& place) {
  if (!document.is_object())
    throw std::runtime_error(
        fmt::format("config.json: expected an object, found {}", Found(document, Expect::Section)));
  CheckedConfig checked;
  for (const SettingKey& key : kSettingKeys) {
    const nlohmann::json& section = SectionAt(document, key.section);
    const auto value = section.find(std::string(key.name));
    if (value == section.end()) {
      if (key.expect == Expect::Section)
        throw std::runtime_error(
            fmt::format("{}: section missing, expected an object", PathOf(key.section, key.name)));
      key.store(checked.settings, key.name, DefaultOf(key));
      continue;
    }
    if (!Fits(*value, key))
      throw std::runtime_error(fmt::format("{}: expected {}, found {}",
                                           PathOf(key.section, key.name), Expected(key),
                                           Found(*value, key.expect)));
    if (key.rule != nullptr) {
      if (const std::string problem = key.rule(*value); !problem.empty())
        throw std::runtime_error(fmt::format("{}: {}", PathOf(key.section, key.name), problem));
    }
    if (key.store != nullptr) key.store(checked.settings, key.name, *value);
  }
  for (const SettingKey& key : kSettingKeys) {
    if (key.needs == nullptr) continue;
    if (const std::string problem = key.needs(checked.settings); !problem.empty())
      throw std::runtime_error(fmt::format("{}: {}", PathOf(key.section, key.name), problem));
  }
  CheckSecurity(checked.settings.database, place);

  for (const std::string_view section_path : kSections) {
    for (const auto& [name, value] : SectionAt(document, section_path).items()) {
      if (IsKnown(section_path, name)) continue;
      // The key is shown as a JSON string, so that a control character cannot forge a log line.
      checked.warnings.push_back(fmt::format("{}: unknown key {} is ignored",
                                             section_path.empty() ? "config.json" : section_path,
                                             nlohmann::json(name).dump()));
    }
  }
  return checked;
}

std::string ReplyFormatProblem(std::u16string_view text) {
  // The messaging service is handed the text as a zero-terminated string.
  text = text.substr(0, text.find(u'\0'));
  try {
    // The pass the messaging service makes: the formatter with no arguments.
    (void)fmt::vformat(fmt::basic_string_view<char16_t>(text.data(), text.size()),
                       fmt::basic_format_args<fmt::buffer_context<char16_t>>{});
    return "";
  } catch (const fmt::format_error& error) {
    return fmt::format(
        "the message formatter refuses it ({}); a brace to show is written doubled, {{{{ or }}}}",
        error.what());
  }
}
