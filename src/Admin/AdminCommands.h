#pragma once
// The admin commands' replies, and the console and RCON callbacks that carry the command line in
// and the reply out. The commands themselves ("Veltrane.Status", "Veltrane.Linked",
// "Veltrane.Unlink": how the plugin is doing, who is linked to whom, and taking a link away) are
// handlers given the plugin's state, declared with their rows in Plugin/CommandTable.h.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/ICommands.h"

// A reply: its lines, already cut to fit one RCON packet, and whether it tells of a failure.
struct AdminReply {
  bool failed = false;
  std::vector<std::string> lines;
};

using AdminCommand = std::function<AdminReply(std::string_view command_line)>;
// The console callback: each reply line as a server message to the admin who typed the command,
// nothing when the server runs it itself.
AsaApi::ConsoleCommandCallback AdminConsoleCommand(std::string name, AdminCommand command);
// The RCON callback: the reply lines as one message on the connection.
AsaApi::RconCommandCallback AdminRconCommand(std::string name, AdminCommand command);
