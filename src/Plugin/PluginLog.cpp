#include "Plugin/PluginLog.h"

#include "host/AsaApi.h"

std::shared_ptr<spdlog::logger>& PluginLog::Holder() {
  static std::shared_ptr<spdlog::logger> logger;  // first use is thread-safe
  return logger;
}

std::shared_ptr<spdlog::logger>& PluginLog::Get() { return Holder(); }

void PluginLog::Init(const std::string& name) {
  const std::vector<spdlog::sink_ptr>& sinks = AsaApi::GetLogSinks();
  Holder() = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
  Holder()->set_pattern("%D %R [%n][%l] %v", spdlog::pattern_time_type::local);
  Holder()->set_level(spdlog::level::info);
  Holder()->flush_on(spdlog::level::info);
}
