#pragma once
// Stands in for the host's log sinks in the store tests: AsaApi::GetLogSinks() hands out this one
// sink, in the host's pattern, which keeps every line the plugin log writes.

#include <spdlog/sinks/base_sink.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct CapturedLine {
  spdlog::level::level_enum level;
  std::string text;       // the message alone
  std::string formatted;  // the whole line as the host's log shows it, without the line break
};

class CapturingLogSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // The one instance, which the test's AsaApi::GetLogSinks() hands out.
  static const std::shared_ptr<CapturingLogSink>& Instance();

  std::vector<CapturedLine> Lines();
  // The messages alone of the lines at level.
  std::vector<std::string> Texts(spdlog::level::level_enum level);
  void Clear();

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override;
  void flush_() override {}

 private:
  std::vector<CapturedLine> lines_;
};

// Whether line reads as the host's log lays out a record of the plugin's logger:
// "MM/DD/YY HH:MM [Veltrane][level] text".
bool IsPluginLogLine(std::string_view line, std::string_view level, std::string_view text);
