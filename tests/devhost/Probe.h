#pragma once
// The devhost run on the probe plugin, and what the probe prints.

#include <gtest/gtest.h>

#include "support/DevhostRunner.h"

namespace veltrane::test {

inline std::filesystem::path ProbeModule() { return DevhostRunner::BinDir() / "ProbePlugin.so"; }

// A runner whose devhost loads the probe, configured by the "Probe" section.
inline std::unique_ptr<DevhostRunner> ProbeRunner(
    const nlohmann::json& probe = nlohmann::json::object()) {
  auto runner = std::make_unique<DevhostRunner>(nlohmann::json{{"Probe", probe}});
  runner->SetPlugin(ProbeModule());
  return runner;
}

// The text of a field that holds a JSON string; "" when there is none.
inline std::string TextField(const std::optional<std::string>& line, std::string_view key) {
  if (!line) return "";
  const std::optional<nlohmann::json> value = Field(*line, key);
  return value && value->is_string() ? value->get<std::string>() : "";
}

// The error texts of a run, in order.
inline std::vector<std::string> Errors(const DevhostResult& result) {
  std::vector<std::string> texts;
  for (const std::string& line : result.WithPrefix("error ")) {
    const std::optional<nlohmann::json> text = Payload(line);
    texts.push_back(text && text->is_string() ? text->get<std::string>() : line);
  }
  return texts;
}

}  // namespace veltrane::test
