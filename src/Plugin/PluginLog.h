#pragma once
// The holder of the plugin's one logger, which writes through the host's log sinks in the host's
// format and leaves nothing of its own in them.

#include <spdlog/logger.h>

#include <memory>
#include <string>

class PluginLog {
 public:
  // Builds the logger over the host's sinks and replaces the one held before.
  static void Init(const std::string& name);
  static std::shared_ptr<spdlog::logger>& Get();

 private:
  static std::shared_ptr<spdlog::logger>& Holder();
};
