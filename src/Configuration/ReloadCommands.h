#pragma once
// "Veltrane.Reload": reads config.json again, from the console or over RCON. A successful read
// replaces the settings in the plugin's state; either outcome is kept there for the status.

#include "host/GameTypes.h"

struct PluginState;

// The console command; the administrator (null for the server itself) sees the outcome in colour,
// a refusal with its reason.
void ReloadConfigCmd(PluginState& state, APlayerController* player, FString* command_line);
// The RCON command; the client gets "Reloaded config" or the reason the file was refused.
void ReloadConfigRcon(PluginState& state, RCONClientConnection* connection, RCONPacket* packet);
