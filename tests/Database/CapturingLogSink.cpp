#include "CapturingLogSink.h"

#include "host/AsaApi.h"

const std::shared_ptr<CapturingLogSink>& CapturingLogSink::Instance() {
  // In the development host's pattern, which the host sets on its sinks: the plugin's logger
  // writes in the format of the sinks it is handed.
  static const std::shared_ptr<CapturingLogSink> sink = [] {
    auto made = std::make_shared<CapturingLogSink>();
    made->set_pattern("%D %R [%n][%l] %v");
    return made;
  }();
  return sink;
}

std::vector<CapturedLine> CapturingLogSink::Lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> CapturingLogSink::Texts(spdlog::level::level_enum level) {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  for (const CapturedLine& line : lines_) {
    if (line.level == level) texts.push_back(line.text);
  }
  return texts;
}

void CapturingLogSink::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

void CapturingLogSink::sink_it_(const spdlog::details::log_msg& message) {
  spdlog::memory_buf_t buffer;
  formatter_->format(message, buffer);
  std::string formatted(buffer.data(), buffer.size());
  while (!formatted.empty() && (formatted.back() == '\n' || formatted.back() == '\r')) {
    formatted.pop_back();
  }
  lines_.push_back({message.level, std::string(message.payload.data(), message.payload.size()),
                    std::move(formatted)});
}

bool IsPluginLogLine(std::string_view line, std::string_view level, std::string_view text) {
  constexpr std::string_view kStampLayout = "00/00/00 00:00";
  if (line.size() < kStampLayout.size()) return false;
  for (std::size_t i = 0; i < kStampLayout.size(); ++i) {
    const bool digit_expected = kStampLayout[i] == '0';
    const bool is_digit = line[i] >= '0' && line[i] <= '9';
    if (digit_expected ? !is_digit : line[i] != kStampLayout[i]) return false;
  }
  return line.substr(kStampLayout.size()) ==
         std::string(" [Veltrane][") + std::string(level) + "] " + std::string(text);
}

namespace AsaApi {

std::vector<spdlog::sink_ptr>& GetLogSinks() {
  static std::vector<spdlog::sink_ptr> sinks = {CapturingLogSink::Instance()};
  return sinks;
}

}  // namespace AsaApi
