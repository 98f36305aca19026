#pragma once
// The host module of the Windows load test: implements src/host for Veltrane.dll as far as
// loading, unloading and one chat command need, and records what the plugin did there for the
// loader (LoadTest.cpp), which imports it too: both see the one loaded host module.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/AsaApi.h"

#ifdef HOST_STAND_IN_MODULE
#define HOST_STAND_IN_API __declspec(dllexport)
#else
#define HOST_STAND_IN_API __declspec(dllimport)
#endif

namespace standin {

struct HostRecord {
  std::string current_dir;  // what Tools::GetCurrentDir answers, UTF-8

  std::map<std::string, AsaApi::ChatCommandCallback> chat_commands;  // names in UTF-8
  std::set<std::string> console_commands;
  std::set<std::string> rcon_commands;
  std::set<std::string> hooks;
  std::map<std::string, AsaApi::OnTickCallback> tick_callbacks;  // ids in UTF-8
  // The module paths the messaging service was asked for, and the texts it showed.
  std::vector<std::string> messaging_paths;
  std::vector<std::string> notifications;

  bool NothingRegistered() const {
    return chat_commands.empty() && console_commands.empty() && rcon_commands.empty() &&
           hooks.empty() && tick_callbacks.empty();
  }
};

// The host's one record; the loader clears it between its cases.
HOST_STAND_IN_API HostRecord& Host();

// The host's log, one sink shared by the host's logger "AsaApi" and the plugin's, in the host's
// pattern: "[Veltrane][error] Can't open config.json". LogAsHost writes a line of the host's own.
HOST_STAND_IN_API std::vector<std::string> LogLines();
HOST_STAND_IN_API void ClearLog();
HOST_STAND_IN_API void LogAsHost(const std::string& text);

}  // namespace standin
