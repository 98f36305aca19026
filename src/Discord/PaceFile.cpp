#include "Discord/PaceFile.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "Configuration/RegularFile.h"
#include "Plugin/PluginLog.h"

namespace {

constexpr int kVersion = 1;
constexpr std::size_t kKeyDigits = 16;

using Milliseconds = std::chrono::milliseconds;
using WallClock = std::chrono::system_clock;

std::int64_t WallMilliseconds(WallClock::time_point time) {
  return std::chrono::floor<Milliseconds>(time.time_since_epoch()).count();
}

std::optional<WebhookPace::AddressKey> ParseKey(std::string_view text) {
  if (text.size() != kKeyDigits || !std::all_of(text.begin(), text.end(), [](char digit) {
        return std::isxdigit(static_cast<unsigned char>(digit));
      }))
    return std::nullopt;
  WebhookPace::AddressKey key = 0;
  std::from_chars(text.data(), text.data() + text.size(), key, 16);
  return key;
}

std::string PathIn(const std::string& folder) { return folder + "/" + kPaceFileName; }

void WarnIgnored(std::string_view reason) {
  PluginLog::Get()->warn(fmt::format("The webhook pace kept at the last unload is ignored: {} {}",
                                     kPaceFileName, reason));
}

bool IsThere(const std::string& utf8_path) {
  std::error_code error;
  const bool there = std::filesystem::exists(
      std::filesystem::path(std::u8string(utf8_path.begin(), utf8_path.end())), error);
  return there || error;
}

}  // namespace

std::string FormatPaceFile(const WebhookPace::Posts& posts, WebhookPace::Clock::time_point now,
                           WallClock::time_point wall_now) {
  nlohmann::json webhooks = nlohmann::json::object();
  for (const auto& [key, times] : posts) {
    nlohmann::json kept = nlohmann::json::array();
    for (const WebhookPace::Clock::time_point time : times) {
      // Rounded down: a post read back counts at most a millisecond less, within the margin.
      if (now - time < WebhookPace::kLongestCount && time <= now)
        kept.push_back(WallMilliseconds(wall_now - (now - time)));
    }
    if (!kept.empty()) webhooks[fmt::format("{:016x}", key)] = std::move(kept);
  }
  if (webhooks.empty()) return {};
  return nlohmann::json{{"version", kVersion}, {"webhooks", std::move(webhooks)}}.dump() + "\n";
}

std::optional<WebhookPace::Posts> ParsePaceFile(std::string_view text,
                                                WebhookPace::Clock::time_point now,
                                                WallClock::time_point wall_now) {
  const nlohmann::json file = nlohmann::json::parse(text, nullptr, false);
  if (!file.is_object()) return std::nullopt;
  const auto version = file.find("version");
  if (version == file.end() || *version != kVersion) return std::nullopt;
  const auto webhooks = file.find("webhooks");
  if (webhooks == file.end() || !webhooks->is_object()) return std::nullopt;
  const std::int64_t wall_now_ms = WallMilliseconds(wall_now);
  WebhookPace::Posts posts;
  for (const auto& [key_text, times] : webhooks->items()) {
    const std::optional<WebhookPace::AddressKey> key = ParseKey(key_text);
    if (!key || !times.is_array()) return std::nullopt;
    for (const nlohmann::json& time : times) {
      if (!time.is_number_unsigned()) return std::nullopt;
      const std::uint64_t ms = time.get<std::uint64_t>();
      // Compared in milliseconds first: a number far beyond the wall clock is no time to convert.
      if (wall_now_ms < 0 || ms > static_cast<std::uint64_t>(wall_now_ms)) continue;
      const WallClock::duration age =
          wall_now - WallClock::time_point(Milliseconds(static_cast<std::int64_t>(ms)));
      if (age < WallClock::duration::zero() || age >= WebhookPace::kLongestCount) continue;
      posts[*key].push_back(now - std::chrono::duration_cast<WebhookPace::Clock::duration>(age));
    }
  }
  for (auto& [key, times] : posts) std::sort(times.begin(), times.end());
  return posts;
}

namespace {

WebhookPace ReadOrWarn(const std::string& folder, WebhookPace::Clock::time_point now,
                       WallClock::time_point wall_now) {
  const std::string path = PathIn(folder);
  const RegularFileContent file = ReadRegularFile(path, kMaxPaceFileBytes);
  switch (file.outcome) {
    case FileRead::Read:
      break;
    case FileRead::CannotOpen:
      if (IsThere(path)) WarnIgnored("cannot be opened");
      return {};
    case FileRead::NotRegularFile:
      WarnIgnored("is not a regular file");
      return {};
    case FileRead::TooLarge:
      WarnIgnored(fmt::format("is larger than {} bytes", kMaxPaceFileBytes));
      return {};
    case FileRead::ReadFailed:
      WarnIgnored("cannot be read");
      return {};
  }
  std::optional<WebhookPace::Posts> posts = ParsePaceFile(file.bytes, now, wall_now);
  if (!posts) {
    WarnIgnored("is malformed");
    return {};
  }
  return WebhookPace(std::move(*posts));
}

}  // namespace

WebhookPace ReadPaceFile(const std::string& folder, WebhookPace::Clock::time_point now,
                         WallClock::time_point wall_now) {
  // Nothing of it may fail the load: the pace then starts empty, as it did before it was kept.
  try {
    return ReadOrWarn(folder, now, wall_now);
  } catch (const std::exception& error) {
    WarnIgnored(std::string("cannot be read: ") + error.what());
    return {};
  }
}

void WritePaceFile(const WebhookPace& pace, const std::string& folder,
                   WebhookPace::Clock::time_point now, WallClock::time_point wall_now) {
  try {
    const std::string text = FormatPaceFile(pace.Recent(), now, wall_now);
    const std::string path = PathIn(folder);
    const std::optional<std::string> failure =
        text.empty() ? RemoveRegularFile(path) : ReplaceRegularFile(path, text);
    if (failure) {
      PluginLog::Get()->warn(fmt::format(
          "The webhook pace could not be kept for the next load: {}: {}", kPaceFileName, *failure));
    }
  } catch (const std::exception& error) {
    PluginLog::Get()->warn(
        fmt::format("The webhook pace could not be kept for the next load: {}", error.what()));
  }
}
