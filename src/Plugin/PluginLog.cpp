#include "Plugin/PluginLog.h"

#include "host/AsaApi.h"

std::shared_ptr<spdlog::logger>& PluginLog::Holder() {
  static std::shared_ptr<spdlog::logger> logger;  // first use is thread-safe
  return logger;
}

std::shared_ptr<spdlog::logger>& PluginLog::Get() { return Holder(); }

void PluginLog::Init(const std::string& name) {
  const std::vector<spdlog::sink_ptr>& sinks = AsaApi::GetLogSinks();
  // The sinks are the host's and keep their own format: a formatter set on them would be an object
  // of this module, which the host would still call after the unload (on Windows spdlog is
  // compiled into the DLL), and it would change the host's lines too. Nor is the logger registered
  // with spdlog: nothing outside this module holds it.
  Holder() = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
  Holder()->set_level(spdlog::level::info);
  Holder()->flush_on(spdlog::level::info);
}
