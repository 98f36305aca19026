#include "Output.h"

#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

namespace devhost {

void PrintLine(std::string_view line) {
  static std::mutex lock;
  std::string whole(line);
  whole.push_back('\n');
  const std::lock_guard<std::mutex> guard(lock);
  std::fwrite(whole.data(), 1, whole.size(), stdout);
  std::fflush(stdout);
}

std::string JsonText(std::string_view utf8) {
  return nlohmann::json(std::string(utf8))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonText(const FString& text) {
  return JsonText(AsaApi::Tools::Utf8Encode(text.View()));
}

std::string FormatFloat(float value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.8g", static_cast<double>(value));
  return buffer;
}

}  // namespace devhost
