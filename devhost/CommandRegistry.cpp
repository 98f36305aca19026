#include "CommandRegistry.h"

#include <algorithm>

#include "Output.h"
#include "PluginCall.h"

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

bool CommandRegistry::AddOnTickCallback(const FString& id, const AsaApi::OnTickCallback& callback) {
  const bool taken = std::any_of(ticks_.begin(), ticks_.end(), [&id](const TickCallback& tick) {
    return EqualsIgnoringCase(tick.id, id);
  });
  const bool ok = !taken && callback;
  if (ok) ticks_.push_back({id, std::make_shared<const AsaApi::OnTickCallback>(callback)});
  PrintLine("register tick id=" + JsonText(id) + (ok ? "" : " ok=false"));
  return ok;
}

bool CommandRegistry::RemoveOnTickCallback(const FString& id) {
  const auto found = std::find_if(ticks_.begin(), ticks_.end(),
                                  [&id](const TickCallback& tick) { return tick.id == id; });
  const bool ok = found != ticks_.end();
  if (ok) ticks_.erase(found);
  PrintLine("unregister tick id=" + JsonText(id) + (ok ? " found=true" : " found=false"));
  return ok;
}

void CommandRegistry::Tick(float delta_seconds) {
  ticking_.clear();
  for (const TickCallback& tick : ticks_)
    if (!tick.abandoned) ticking_.push_back(tick.callback);
  for (const std::shared_ptr<const AsaApi::OnTickCallback>& callback : ticking_) {
    // Looked up again: an earlier callback of this tick may have removed it.
    const auto current =
        std::find_if(ticks_.begin(), ticks_.end(),
                     [&callback](const TickCallback& tick) { return tick.callback == callback; });
    if (current == ticks_.end()) continue;
    const std::string what = "tick callback " + AsaApi::Tools::Utf8Encode(current->id.View());
    CallPlugin(what, [&callback, delta_seconds] { (*callback)(delta_seconds); });
  }
  ticking_.clear();
}

void CommandRegistry::AbandonTicks() {
  for (TickCallback& tick : ticks_) {
    if (tick.abandoned) continue;
    tick.abandoned = true;
    PrintLine("error " + JsonText("the plugin left tick callback " +
                                  AsaApi::Tools::Utf8Encode(tick.id.View()) +
                                  " registered at unload; it is no longer called"));
  }
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
