#include "Configuration/ConfigFile.h"

#include <fmt/format.h>

#include <stdexcept>
#include <vector>

#include "Configuration/RegularFile.h"
#include "Configuration/SettingsTable.h"
#include "Database/ClientLibrary.h"
#include "Plugin/PluginLog.h"
#include "host/Tools.h"

nlohmann::json config;

namespace {

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

}  // namespace

Settings ReadConfig() {
  const std::string folder = PluginFolder();
  // Parsed into a fresh value and checked there, so that a broken file leaves the running
  // document and settings intact.
  nlohmann::json fresh = ParseConfig(ReadBounded(folder + "/config.json"));
  CheckedConfig checked = CheckConfig(fresh, {folder, &DescribeClientLibrary});
  config = std::move(fresh);
  for (const std::string& warning : checked.warnings) PluginLog::Get()->warn(warning);
  return std::move(checked.settings);
}

std::string PluginFolder() { return AsaApi::Tools::GetCurrentDir() + "/ArkApi/Plugins/Veltrane"; }

FString GetText(const Settings& settings, const std::string& key) {
  const auto text = settings.messages.find(key);
  return FString(AsaApi::Tools::Utf8Decode(text == settings.messages.end() ? kMissingMessageText
                                                                           : text->second));
}
