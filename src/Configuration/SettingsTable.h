#pragma once
// The table of every setting of config.json, and the check that a parsed document must pass
// before it goes live: each key's path, type, default and rule are written once, in the table,
// and both the check and the typed Settings come from it. No host and no network: the same at
// load, at reload and in tests.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "Configuration/Settings.h"
#include "Database/TlsSupport.h"

// What a Messages key that the file leaves out reads.
inline constexpr char kMissingMessageText[] = "No message";

// A document that checked: its typed settings and one warning per unknown key of a known section.
struct CheckedConfig {
  Settings settings;
  std::vector<std::string> warnings;
};

// The settings every key's default gives: those in force before the first read.
Settings DefaultSettings();

// Parses config.json's content: one JSON value, whatever follows it unread. Throws
// std::runtime_error whose text gives the place and what was expected, never what was read.
nlohmann::json ParseConfig(const std::string& content);

// What the check needs to know of the place it runs in, beyond the document.
struct CheckPlace {
  // The plugin's folder, which relative TlsCa and ClientPluginDir paths start from; empty: the
  // process's working directory.
  std::string plugin_folder;
  // The client library's version and TLS library, as it names them; asked only when a TlsMode
  // asks for TLS. None: not asked.
  ClientLibraryInfo (*client_library)() = nullptr;
};

// Checks document against the table. Throws std::runtime_error at the first key that does not
// check, naming its path ("Settings.debug: expected true or false, found text"); the text never
// quotes a value but an integer key's. Then the Database section's TLS keys as a whole: a
// VERIFY_ mode has its TlsCa, which holds a certificate, the files named can be read, and the
// client library can give the mode in the store's mode (TlsSupport.h).
CheckedConfig CheckConfig(const nlohmann::json& document, const CheckPlace& place = {});

// Why the message formatter would refuse text (a brace that is not doubled), or an empty text.
std::string ReplyFormatProblem(std::u16string_view text);
