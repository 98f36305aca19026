#pragma once
// The configuration document: config.json below the server's directory, read whole at load and at
// each reload, and read key by key (with a default per key) at every use.

#include <nlohmann/json.hpp>
#include <string>

#include "host/FString.h"

// Replaced whole by each successful ReadConfig; JSON null before the first.
extern nlohmann::json config;

// Reads config.json into config. Throws std::runtime_error("Can't open config.json") or the JSON
// library's parse error; a file that fails either way leaves config as it was.
void ReadConfig();

// The text under key in Messages, "No message" when the key is missing, decoded from UTF-8.
// Throws the JSON library's type error for a mistyped text or a Messages that is no object.
FString GetText(const std::string& key);
