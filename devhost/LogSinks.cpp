#include "LogSinks.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace devhost {

// Never destroyed: a plugin's logger may still hold the sinks while the process exits.
std::vector<spdlog::sink_ptr>& LogSinks() {
  static auto* sinks = new std::vector<spdlog::sink_ptr>();
  return *sinks;
}

void OpenLogSinks(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "logs");
  LogSinks() = {std::make_shared<spdlog::sinks::stderr_sink_mt>(),
                std::make_shared<spdlog::sinks::basic_file_sink_mt>(
                    (root / "logs" / "devhost.log").string())};
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
