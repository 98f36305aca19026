#include "LogSinks.h"

#include <fmt/format.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <mutex>

#include "Output.h"

namespace devhost {

namespace {

// Hands each log line to what wait-for looks at, as "[name][level] text".
class WaitForSink final : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    const spdlog::string_view_t level = spdlog::level::to_string_view(message.level);
    KeepLogLine(fmt::format(
        "[{}][{}] {}", fmt::string_view(message.logger_name.data(), message.logger_name.size()),
        fmt::string_view(level.data(), level.size()),
        fmt::string_view(message.payload.data(), message.payload.size())));
  }
  void flush_() override {}
};

}  // namespace

// Never destroyed: a plugin's logger may still hold the sinks while the process exits.
std::vector<spdlog::sink_ptr>& LogSinks() {
  static auto* sinks = new std::vector<spdlog::sink_ptr>();
  return *sinks;
}

void OpenLogSinks(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "logs");
  LogSinks() = {
      std::make_shared<spdlog::sinks::stderr_sink_mt>(),
      std::make_shared<spdlog::sinks::basic_file_sink_mt>((root / "logs" / "devhost.log").string()),
      std::make_shared<WaitForSink>()};
  spdlog::logger& logger = DevhostLogger();
  logger.sinks() = LogSinks();
  logger.set_pattern("%D %R [%n][%l] %v", spdlog::pattern_time_type::local);
}

spdlog::logger& DevhostLogger() {
  static auto* logger = [] {
    auto* created = new spdlog::logger("devhost", LogSinks().begin(), LogSinks().end());
    created->set_level(spdlog::level::info);
    created->flush_on(spdlog::level::info);
    return created;
  }();
  return *logger;
}

void FlushLogs() {
  for (const spdlog::sink_ptr& sink : LogSinks()) sink->flush();
}

}  // namespace devhost
