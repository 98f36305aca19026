#include "CommandRegistry.h"

#include <algorithm>

#include "Output.h"

namespace devhost {

FString FirstWord(const FString& line) {
  TArray<FString> words;
  line.ParseIntoArray(words, u" ", true);
  return words.empty() ? FString() : words.front();
}

bool EqualsIgnoringCase(const FString& a, const FString& b) {
  return a.Len() == b.Len() && FGenericPlatformStricmp::Strnicmp(*a, *b, std::size_t(a.Len())) == 0;
}

template <typename Callback>
bool CommandRegistry::Register(Commands<Callback>& commands, const char* kind, const FString& text,
                               const Callback& callback) {
  const bool taken = std::any_of(commands.begin(), commands.end(), [&text](const auto& command) {
    return EqualsIgnoringCase(command.text, text);
  });
  const bool ok = !taken && callback;
  if (ok) commands.push_back({text, callback});
  PrintLine(std::string("register ") + kind + " text=" + JsonText(text) + (ok ? "" : " ok=false"));
  return ok;
}

// Removal names the command exactly as it was registered.
template <typename Callback>
bool CommandRegistry::Unregister(Commands<Callback>& commands, const char* kind,
                                 const FString& text) {
  const auto found = std::find_if(commands.begin(), commands.end(),
                                  [&text](const auto& command) { return command.text == text; });
  const bool ok = found != commands.end();
  if (ok) commands.erase(found);
  PrintLine(std::string("unregister ") + kind + " text=" + JsonText(text) +
            (ok ? " found=true" : " found=false"));
  return ok;
}

template <typename Callback>
const Callback* CommandRegistry::Find(const Commands<Callback>& commands, const FString& line) {
  const FString word = FirstWord(line);
  for (const auto& command : commands)
    if (EqualsIgnoringCase(command.text, word)) return &command.callback;
  return nullptr;
}

bool CommandRegistry::RegisterChatCommand(const FString& command,
                                          const AsaApi::ChatCommandCallback& callback) {
  return Register(chat_, "chat", command, callback);
}

bool CommandRegistry::RegisterConsoleCommand(const FString& command,
                                             const AsaApi::ConsoleCommandCallback& callback) {
  return Register(console_, "console", command, callback);
}

bool CommandRegistry::RegisterRconCommand(const FString& command,
                                          const AsaApi::RconCommandCallback& callback) {
  return Register(rcon_, "rcon", command, callback);
}

bool CommandRegistry::UnregisterChatCommand(const FString& command) {
  return Unregister(chat_, "chat", command);
}

bool CommandRegistry::UnregisterConsoleCommand(const FString& command) {
  return Unregister(console_, "console", command);
}

bool CommandRegistry::UnregisterRconCommand(const FString& command) {
  return Unregister(rcon_, "rcon", command);
}

// The callback is copied out first: it may unregister itself while it runs.
bool CommandRegistry::DispatchChat(AShooterPlayerController* player, FString& line) {
  const AsaApi::ChatCommandCallback* found = Find(chat_, line);
  if (found == nullptr) return false;
  const AsaApi::ChatCommandCallback callback = *found;
  callback(player, &line, 0, 0);
  return true;
}

bool CommandRegistry::DispatchConsole(APlayerController* player, FString& line) {
  const AsaApi::ConsoleCommandCallback* found = Find(console_, line);
  if (found == nullptr) return false;
  const AsaApi::ConsoleCommandCallback callback = *found;
  callback(player, &line, false);
  return true;
}

bool CommandRegistry::DispatchRcon(RCONClientConnection* connection, RCONPacket& packet,
                                   UWorld* world) {
  const AsaApi::RconCommandCallback* found = Find(rcon_, packet.Body);
  if (found == nullptr) return false;
  const AsaApi::RconCommandCallback callback = *found;
  callback(connection, &packet, world);
  return true;
}

}  // namespace devhost
