#pragma once
// The host's log: two sinks, stderr and ROOT/logs/devhost.log, shared by the plugin's logger and
// the devhost's own logger "devhost".

#include <spdlog/logger.h>

#include <filesystem>
#include <vector>

namespace devhost {

// Creates ROOT/logs and both sinks; before that there are none. Throws spdlog::spdlog_ex when
// the file cannot be opened.
void OpenLogSinks(const std::filesystem::path& root);
std::vector<spdlog::sink_ptr>& LogSinks();
spdlog::logger& DevhostLogger();
void FlushLogs();

}  // namespace devhost
