#pragma once
// The configuration document: config.json below the server's directory, read whole at load and at
// each reload, checked against the table of settings (SettingsTable.h) before it replaces the live
// one. The typed settings (Configuration/Settings.h) it gives go into the plugin's state, from
// which the plugin reads them.

#include <nlohmann/json.hpp>
#include <string>

#include "Configuration/Settings.h"
#include "host/FString.h"

// The module-level configuration document, replaced whole by each successful ReadConfig; JSON null
// before the first.
extern nlohmann::json config;

// The largest config.json that is read; anything larger is refused unread.
inline constexpr std::size_t kMaxConfigBytes = std::size_t{1024} * 1024;

// Reads config.json, checks it, makes it the live document and gives its settings; each unknown
// key of a known section is logged as one warning. Throws std::runtime_error on a file that cannot
// be read ("Can't open config.json", not a regular file, larger than kMaxConfigBytes), does not
// parse, or does not check (the text names the key's path); then config stays as it was. Beyond
// types and ranges the check takes a value only where it will work: a MysqlHost list the store
// can parse, reply texts the message formatter takes, a SenderName Discord takes, TLS files and a
// plugins' folder that can be read (relative to the plugin's folder), and a TLS mode the client
// library can keep in non-blocking mode. No error text quotes what the file holds.
Settings ReadConfig();

// The plugin's folder below the server's directory, where config.json is, without a trailing
// separator.
std::string PluginFolder();

// The text under key in the settings' Messages, decoded from UTF-8; a key the table does not know
// reads as a missing one (kMissingMessageText).
FString GetText(const Settings& settings, const std::string& key);
