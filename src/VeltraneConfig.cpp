#include "VeltraneConfig.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "Database/ServerList.h"
#include "DiscordRules.h"
#include "PluginLog.h"
#include "RegularFile.h"
#include "VeltraneNotify.h"
#include "host/Tools.h"

namespace {

enum class Expect { Section, Text, Boolean, Integer };

// What is wrong with a value of the right type, or an empty text; never quotes the value.
using Rule = std::string (*)(const nlohmann::json& value);

struct KnownKey {
  std::string_view section;  // "" for the document itself, "Settings.Discord" for nested ones
  std::string_view name;
  Expect expect;
  std::int64_t min = 0;  // Integer only: the range of the value as it is read
  std::int64_t max = 0;
  Rule rule = nullptr;  // for a value that must also work where it is used
};

FString MessageText(const std::string& utf8) { return FString(AsaApi::Tools::Utf8Decode(utf8)); }

// The store's own parser: a list it cannot use would leave every player DatabaseUnavailable until
// the next load.
std::string HostListProblem(const nlohmann::json& value) {
  return veltrane::ServerListProblem(value.get<std::string>());
}

// A reply the formatter refuses would fail only when a player is answered, after the link.
std::string ReplyTextProblem(const nlohmann::json& value) {
  return ReplyFormatProblem(MessageText(value.get<std::string>()));
}

// Discord answers a name it refuses with 400, which the plugin never hears of.
std::string SenderNameProblem(const nlohmann::json& value) {
  return veltrane::DiscordNameProblem(AsaApi::Tools::Utf8Decode(value.get<std::string>()));
}

// Every key the plugin reads, checked at load and at each reload before a document goes live.
// A section comes before its keys; the defaults stay with the readers.
constexpr KnownKey kKnownKeys[] = {
    {"", "Settings", Expect::Section},
    {"Settings", "Discord", Expect::Section},
    {"", "Messages", Expect::Section},
    {"", "Database", Expect::Section},

    {"Settings", "MessagesDuration", Expect::Integer, 1, 3600},
    {"Settings", "NotificationMode", Expect::Boolean},
    {"Settings", "debug", Expect::Boolean},
    {"Settings", "UsePermissions", Expect::Boolean},
    {"Settings", "PermissionGroupToAdd", Expect::Text},
    {"Settings", "MapName", Expect::Text},
    {"Settings", "UpdatePlayerDataOnLogout", Expect::Boolean},
    {"Settings", "MaxCodeAttempts", Expect::Integer, 0, 1000},
    {"Settings", "CodeLockoutSeconds", Expect::Integer, 1, 86400},

    {"Settings.Discord", "EnableDiscord", Expect::Boolean},
    {"Settings.Discord", "SenderName", Expect::Text, 0, 0, &SenderNameProblem},
    {"Settings.Discord", "WebHookUrl", Expect::Text},
    {"Settings.Discord", "CustomMessage", Expect::Text},

    {"Messages", "LinkDiscordCmd", Expect::Text},
    {"Messages", "Sender", Expect::Text},
    {"Messages", "CmdUsage", Expect::Text, 0, 0, &ReplyTextProblem},
    {"Messages", "AccountAlredyLinked", Expect::Text, 0, 0, &ReplyTextProblem},
    {"Messages", "InvalidCode", Expect::Text, 0, 0, &ReplyTextProblem},
    {"Messages", "AccountLinked", Expect::Text, 0, 0, &ReplyTextProblem},
    {"Messages", "TooManyAttempts", Expect::Text, 0, 0, &ReplyTextProblem},
    {"Messages", "DatabaseUnavailable", Expect::Text, 0, 0, &ReplyTextProblem},

    {"Database", "MysqlHost", Expect::Text, 0, 0, &HostListProblem},
    {"Database", "MysqlUser", Expect::Text},
    {"Database", "MysqlPass", Expect::Text},
    {"Database", "MysqlDB", Expect::Text},
    {"Database", "MysqlPort", Expect::Integer, 1, 65535},
    {"Database", "MysqlTimeout", Expect::Integer, 0, 3600},
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

std::string Expected(const KnownKey& key) {
  switch (key.expect) {
    case Expect::Section:
      return "an object";
    case Expect::Text:
      return "text";
    case Expect::Boolean:
      return "true or false";
    case Expect::Integer:
      return fmt::format("an integer from {} to {}", key.min, key.max);
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

bool Fits(const nlohmann::json& value, const KnownKey& key) {
  switch (key.expect) {
    case Expect::Section:
      return value.is_object();
    case Expect::Text:
      return value.is_string();
    case Expect::Boolean:
      return value.is_boolean();
    case Expect::Integer:
      return IntegerFits(value, key.min, key.max);
  }
  return false;
}

bool IsKnown(std::string_view section, const std::string& name) {
  for (const KnownKey& key : kKnownKeys)
    if (key.section == section && key.name == name) return true;
  return false;
}

// Throws at the first key that does not check, naming its path; returns one warning per unknown
// key of a known section.
std::vector<std::string> CheckConfig(const nlohmann::json& document) {
  if (!document.is_object())
    throw std::runtime_error(
        fmt::format("config.json: expected an object, found {}", Found(document, Expect::Section)));
  for (const KnownKey& key : kKnownKeys) {
    const nlohmann::json& section = SectionAt(document, key.section);
    const auto value = section.find(std::string(key.name));
    if (value == section.end()) {
      if (key.expect != Expect::Section) continue;
      throw std::runtime_error(
          fmt::format("{}: section missing, expected an object", PathOf(key.section, key.name)));
    }
    if (!Fits(*value, key))
      throw std::runtime_error(fmt::format("{}: expected {}, found {}",
                                           PathOf(key.section, key.name), Expected(key),
                                           Found(*value, key.expect)));
    if (key.rule == nullptr) continue;
    if (const std::string problem = key.rule(*value); !problem.empty())
      throw std::runtime_error(fmt::format("{}: {}", PathOf(key.section, key.name), problem));
  }

  std::vector<std::string> warnings;
  for (const std::string_view section_path : kSections) {
    for (const auto& [name, value] : SectionAt(document, section_path).items()) {
      if (IsKnown(section_path, name)) continue;
      // The key is shown as a JSON string, so that a control character cannot forge a log line.
      warnings.push_back(fmt::format("{}: unknown key {} is ignored",
                                     section_path.empty() ? "config.json" : section_path,
                                     nlohmann::json(name).dump()));
    }
  }
  return warnings;
}

// The whole file, refused unread when it is no regular file or larger than kMaxConfigBytes.
std::string ReadBounded(const std::string& path) {
  RegularFileContent file = ReadRegularFile(path, kMaxConfigBytes);
  switch (file.outcome) {
    case FileRead::Read:
      return std::move(file.bytes);
    case FileRead::CannotOpen:
      throw std::runtime_error("Can't open config.json");
    case FileRead::NotRegularFile:
      throw std::runtime_error("Can't open config.json: not a regular file");
    case FileRead::TooLarge:
      throw std::runtime_error(
          fmt::format("Can't read config.json: larger than 1 MiB ({} bytes)", kMaxConfigBytes));
    case FileRead::ReadFailed:
      break;
  }
  throw std::runtime_error("Can't read config.json");
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

void ReadConfig() {
  const std::string path = AsaApi::Tools::GetCurrentDir() + "/ArkApi/Plugins/Veltrane/config.json";
  // Parsed into a fresh value and checked there, so that a broken file leaves the running
  // document intact.
  nlohmann::json fresh = Parse(ReadBounded(path));
  const std::vector<std::string> warnings = CheckConfig(fresh);
  config = std::move(fresh);
  for (const std::string& warning : warnings) PluginLog::Get()->warn(warning);
}

FString GetText(const std::string& key) {
  return MessageText(config["Messages"].value(key, "No message"));
}
