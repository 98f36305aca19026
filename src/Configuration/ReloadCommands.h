#pragma once
// "Veltrane.Reload": reads config.json again, from the console or over RCON.

#include "host/GameTypes.h"

// Console callback; the administrator (null for the server itself) sees the outcome in colour,
// a refusal with its reason.
void ReloadConfigCmd(APlayerController* player, FString* command_line, bool from_cheat_input);
// RCON callback; the client gets "Reloaded config" or the reason the file was refused.
void ReloadConfigRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
