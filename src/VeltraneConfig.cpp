#include "VeltraneConfig.h"

#include <fstream>
#include <stdexcept>

#include "host/Tools.h"

void ReadConfig() {
  const std::string path = AsaApi::Tools::GetCurrentDir() + "/ArkApi/Plugins/Veltrane/config.json";
  std::ifstream file(path);
  if (!file.is_open()) throw std::runtime_error("Can't open config.json");
  // The stream reader reads one value and leaves whatever follows it; parsing into a fresh value
  // keeps the running document intact when the file is broken.
  nlohmann::json fresh;
  file >> fresh;
  config = std::move(fresh);
}

FString GetText(const std::string& key) {
  const std::string text = config["Messages"].value(key, "No message");
  return FString(AsaApi::Tools::Utf8Decode(text));
}
