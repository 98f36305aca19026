#pragma once
// Every command the plugin registers with the host, its hooks on the game's login and logout, and
// its tick, in one table: Load registers its entries in order, Unload removes what was registered,
// and the lifecycle test expects the host to see the same. An entry gives its name, where the host
// takes it and its handler, which is given the plugin's state by the host callbacks in
// Veltrane.cpp.
//
// A new admin command is its own file under Admin/ defining its handler (listed in Sources.cmake),
// its declaration and row here, and its test under tests/Admin/.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "Configuration/ReloadCommands.h"
#include "Linking/LinkCommand.h"
#include "Linking/LoginCheck.h"
#include "Linking/LogoutRefresh.h"
#include "host/GameTypes.h"

struct PluginState;
struct AdminReply;

// Where the host takes an entry. An entry may be taken at several places (the admin commands are
// console and RCON commands); it is registered at each in the order of kPlaces.
enum class Place : std::uint8_t {
  Chat = 1 << 0,
  Console = 1 << 1,
  Rcon = 1 << 2,
  Hook = 1 << 3,  // a hook on a game function
  Tick = 1 << 4,  // called at each of the game's ticks
};
inline constexpr Place kPlaces[] = {Place::Chat, Place::Console, Place::Rcon, Place::Hook,
                                    Place::Tick};

// A set of places.
class Places {
 public:
  constexpr Places(Place place) : bits_(static_cast<std::uint8_t>(place)) {}
  constexpr Places operator|(Places other) const { return Places(bits_ | other.bits_); }
  constexpr bool Has(Place place) const { return (bits_ & static_cast<std::uint8_t>(place)) != 0; }
  constexpr bool Within(Places other) const { return (bits_ & ~other.bits_) == 0; }
  constexpr bool Empty() const { return bits_ == 0; }

 private:
  constexpr explicit Places(unsigned bits) : bits_(static_cast<std::uint8_t>(bits)) {}
  std::uint8_t bits_;
};
constexpr Places operator|(Place a, Place b) { return Places(a) | b; }

// The handlers, each given the plugin's state and what of the host's arguments it uses.
using ChatHandler = void (*)(PluginState& state, AShooterPlayerController* player,
                             FString* message);
using ConsoleHandler = void (*)(PluginState& state, APlayerController* player,
                                FString* command_line);
using RconHandler = void (*)(PluginState& state, RCONClientConnection* connection,
                             RCONPacket* packet);
// An admin command: its reply to the command line, which the console shows the admin and RCON
// sends back (Admin/AdminCommands.h).
using AdminHandler = AdminReply (*)(PluginState& state, std::string_view command_line);
// The logout hook's work before the game's own logout.
using LogoutHandler = void (*)(PluginState& state, AController* exiting);
// The login hook's work after the game's own login.
using LoginHandler = void (*)(PluginState& state, APlayerController* new_player);
// The tick: the seconds since the last one.
using TickHandler = void (*)(PluginState& state, float delta_seconds);
using Handler = std::variant<ChatHandler, ConsoleHandler, RconHandler, AdminHandler, LogoutHandler,
                             LoginHandler, TickHandler>;

struct CommandEntry {
  // The command word; for the chat command the Messages key whose text at load is the command,
  // for the hook the game function.
  std::string_view name;
  Places places;  // where the host takes it
  Handler handler;
  // Registered at load only when the settings then ask for it; always when null.
  bool (*wanted)(const Settings& settings) = nullptr;
};

// The admin commands' handlers, defined under Admin/ and named only here.
// Veltrane.Linked: the linked rows of the one id on the command line.
AdminReply AnswerLinked(PluginState& state, std::string_view command_line);
// Veltrane.Unlink: deletes the linked rows of the one id on the command line and, with
// UsePermissions, takes each player that is no longer linked out of the group.
AdminReply AnswerUnlink(PluginState& state, std::string_view command_line);
// Veltrane.Status: the store's state, the counts since load and the configuration's reads. Takes
// no argument; anything after the command word gets the usage reply.
AdminReply AnswerStatus(PluginState& state, std::string_view command_line);
// The tick, registered in either store mode: advances a non-blocking store's pending work and
// posts the Discord announcements waiting (a reload may turn Discord on at any time).
void AdvancePendingWork(PluginState& state, float delta_seconds);

inline constexpr CommandEntry kCommandTable[] = {
    {"LinkDiscordCmd", Place::Chat, &RunLinkCommand},
    {"Veltrane.Reload", Place::Console, &ReloadConfigCmd},
    {"Veltrane.Reload", Place::Rcon, &ReloadConfigRcon},
    {"Veltrane.Linked", Place::Console | Place::Rcon, &AnswerLinked},
    {"Veltrane.Unlink", Place::Console | Place::Rcon, &AnswerUnlink},
    {"Veltrane.Status", Place::Console | Place::Rcon, &AnswerStatus},
    {"AShooterGameMode.Logout(AController*)", Place::Hook, &RefreshPlayerDataOnLogout},
    {"AShooterGameMode.PostLogin(APlayerController*)", Place::Hook, &CheckPlayerAtLogin,
     &LoginHookWanted},
    {"Veltrane.PendingWork", Place::Tick, &AdvancePendingWork},
};

// Where a handler of its kind can be registered.
constexpr Places TakenAt(const Handler& handler) {
  if (std::holds_alternative<ChatHandler>(handler)) return Place::Chat;
  if (std::holds_alternative<ConsoleHandler>(handler)) return Place::Console;
  if (std::holds_alternative<RconHandler>(handler)) return Place::Rcon;
  if (std::holds_alternative<AdminHandler>(handler)) return Place::Console | Place::Rcon;
  if (std::holds_alternative<TickHandler>(handler)) return Place::Tick;
  return Place::Hook;
}

constexpr bool EveryEntryFitsItsPlaces() {
  for (const CommandEntry& entry : kCommandTable) {
    if (entry.places.Empty() || !entry.places.Within(TakenAt(entry.handler))) return false;
  }
  return true;
}
static_assert(EveryEntryFitsItsPlaces(), "an entry is registered where its handler cannot be");

// The handler of the table's one entry with a handler of this kind: the link command and the
// hooks reach the host as the plain functions it knows by name, each running its entry's
// handler. Not compiled when the table holds none or several.
// Indices, not pointers: a sanitized build does not take comparisons of addresses as constant.
template <typename Kind>
constexpr Kind OnlyHandler() {
  constexpr std::size_t kNone = std::size(kCommandTable);
  std::size_t found = kNone;
  for (std::size_t index = 0; index < std::size(kCommandTable); ++index) {
    if (!std::holds_alternative<Kind>(kCommandTable[index].handler)) continue;
    if (found != kNone) throw std::logic_error("two entries of the kind");
    found = index;
  }
  if (found == kNone) throw std::logic_error("no entry of the kind");
  return std::get<Kind>(kCommandTable[found].handler);
}
