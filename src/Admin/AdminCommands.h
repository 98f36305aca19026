#pragma once
// "Veltrane.Status", "Veltrane.Linked" and "Veltrane.Unlink": how the plugin is doing, who is
// linked to whom, and taking a link away, from the console and over RCON. The commands are given
// the plugin's state (its store, its settings); the callbacks only carry the command line in and
// the reply out.

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

struct PluginState;

// Veltrane.Linked: the linked rows of the one id on the command line.
AdminReply AnswerLinked(PluginState& state, std::string_view command_line);
// Veltrane.Unlink: deletes the linked rows of the one id on the command line and, with
// UsePermissions, takes each player that is no longer linked out of the group.
AdminReply AnswerUnlink(PluginState& state, std::string_view command_line);

// Veltrane.Status: the store's state, the counts since load and the configuration's reads. Takes
// no argument; anything after the command word gets the usage reply.
AdminReply AnswerStatus(PluginState& state, std::string_view command_line);

using AdminCommand = std::function<AdminReply(std::string_view command_line)>;
// The console callback: each reply line as a server message to the admin who typed the command,
// nothing when the server runs it itself.
AsaApi::ConsoleCommandCallback AdminConsoleCommand(std::string name, AdminCommand command);
// The RCON callback: the reply lines as one message on the connection.
AsaApi::RconCommandCallback AdminRconCommand(std::string name, AdminCommand command);
