#include "Output.h"

#include <algorithm>
#include <charconv>
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
  // Printable ASCII without quote or backslash stands as it is: the common case, without building
  // a JSON value for it.
  if (std::all_of(utf8.begin(), utf8.end(),
                  [](char c) { return c >= ' ' && c <= '~' && c != '"' && c != '\\'; })) {
    std::string quoted;
    quoted.reserve(utf8.size() + 2);
    quoted.append(1, '"').append(utf8).append(1, '"');
    return quoted;
  }
  return nlohmann::json(std::string(utf8))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string NameText(std::string_view utf8) {
  const bool plain = !utf8.empty() && std::all_of(utf8.begin(), utf8.end(), [](char c) {
    return c > ' ' && c <= '~' && c != '"' && c != '\\' && c != '=';
  });
  return plain ? std::string(utf8) : JsonText(utf8);
}

std::string JsonText(const FString& text) {
  return JsonText(AsaApi::Tools::Utf8Encode(text.View()));
}

std::string FormatFloat(float value) {
  // The same text as printf's "%.8g", at a fraction of its cost: a notify line prints six floats.
  char buffer[32];
  const std::to_chars_result end =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 8);
  return std::string(buffer, end.ptr);
}

}  // namespace devhost
