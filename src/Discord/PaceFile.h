#pragma once
// The webhook's pace kept from an unload to the next load: the posts of the last minute are written
// to webhook-pace.json beside config.json, so that a cycle of unloads and loads (which a change of
// a Database key needs) cannot post faster than one load may. A game server's restart starts a new
// process, whose steady clock starts afresh, so the file holds wall-clock times (milliseconds since
// the Unix epoch), each address by its key (WebhookPace::KeyOf), never the address itself, which
// holds the webhook's token:
//
//   {"version":1,"webhooks":{"9a3f0c5e71d2b846":[1765127060123,1765127060140]}}
//
// Times are turned back into the steady clock at load; those in the future or that no longer count
// are dropped, so that a wall clock moved between unload and load holds no post back for long.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Discord/WebhookPace.h"

inline constexpr char kPaceFileName[] = "webhook-pace.json";
// A file larger than this is no file the plugin wrote: a minute's posts of one address take about
// 500 bytes.
inline constexpr std::size_t kMaxPaceFileBytes = std::size_t{64} * 1024;

// The file's text: the posts that still count at now, their times taken back from wall_now.
std::string FormatPaceFile(const WebhookPace::Posts& posts, WebhookPace::Clock::time_point now,
                           std::chrono::system_clock::time_point wall_now);
// The posts of a file's text on the steady clock at now, with the wall clock at wall_now. Nothing
// when the text is not such a file.
std::optional<WebhookPace::Posts> ParsePaceFile(std::string_view text,
                                                WebhookPace::Clock::time_point now,
                                                std::chrono::system_clock::time_point wall_now);

// At load: the pace of the file in folder. No file is an empty pace; so is one that cannot be read,
// is too large or malformed, with one warning.
WebhookPace ReadPaceFile(const std::string& folder, WebhookPace::Clock::time_point now,
                         std::chrono::system_clock::time_point wall_now);
// At unload: writes the posts that still count, whole or not at all, or removes the file when none
// does. A failure is one warning; nothing is thrown.
void WritePaceFile(const WebhookPace& pace, const std::string& folder,
                   WebhookPace::Clock::time_point now,
                   std::chrono::system_clock::time_point wall_now);
