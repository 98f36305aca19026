#include "ScriptRunner.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>

#include "Output.h"
#include "PluginCall.h"

namespace devhost {

namespace {

constexpr int kMaxSleepMs = 600000;
constexpr int kDefaultHttpWaitMs = 15000;

std::uint64_t Fnv1a64(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  return hash;
}

std::uint32_t Fnv1a32(std::string_view text) {
  std::uint32_t hash = 2166136261U;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619U;
  return hash;
}

bool OnOff(ScriptLine& line) {
  const std::string value = line.Word("on or off");
  if (value == "on") return true;
  if (value == "off") return false;
  throw ScriptError("expected on or off, not " + value);
}

FString ToFString(const std::string& utf8) { return FString(AsaApi::Tools::Utf8Decode(utf8)); }

}  // namespace

std::u16string DefaultEosId(std::string_view name) {
  char hex[33];
  std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(Fnv1a64(name)),
                static_cast<unsigned long long>(Fnv1a64(std::string(name) + "#")));
  return std::u16string(hex, hex + 32);
}

int DefaultPlayerId(std::string_view name) {
  return static_cast<int>(1 + Fnv1a32(name) % 2147483646U);
}

const char* ScriptRunner::HelpText() {
  return R"(Commands (TEXT is a bare word or a JSON string literal; '#' starts a comment):
  load | unload | thread-attach | thread-detach
  join NAME [name=TEXT] [eos=TEXT] [id=N] [tribe_id=N] [tribe=TEXT] [nostate] [nochar] [dead] [noowner]
  die NAME | revive NAME | leave NAME | logout NAME | logout -
  chat NAME REST | console NAME REST | console - REST | rcon REST
  perms on|off | perms add EOS GROUP | perms remove EOS GROUP | perms fail on|off
  echo TEXT | sleep MS | http-wait [MS] | wait-for MS REST | timing on|off | help)";
}

void ScriptRunner::Run(std::string_view text) {
  ScriptLine line(text);
  if (line.AtEnd()) return;
  const auto start = std::chrono::steady_clock::now();
  RunCommand(line);
  // The wall time of the command on the game thread: for sleep and http-wait, the wait.
  if (timing_) {
    const auto held = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    PrintLine("timing us=" + std::to_string(held.count()) + " command=" + JsonText(text));
  }
}

void ScriptRunner::RunCommand(ScriptLine& line) {
  using Command = void (ScriptRunner::*)(ScriptLine&);
  static const std::map<std::string, Command, std::less<>> kCommands = {
      {"load", &ScriptRunner::Load},
      {"unload", &ScriptRunner::Unload},
      {"thread-attach", &ScriptRunner::ThreadAttach},
      {"thread-detach", &ScriptRunner::ThreadDetach},
      {"join", &ScriptRunner::Join},
      {"die", &ScriptRunner::Die},
      {"revive", &ScriptRunner::Revive},
      {"leave", &ScriptRunner::Leave},
      {"chat", &ScriptRunner::Chat},
      {"console", &ScriptRunner::Console},
      {"rcon", &ScriptRunner::Rcon},
      {"logout", &ScriptRunner::Logout},
      {"perms", &ScriptRunner::Perms},
      {"echo", &ScriptRunner::Echo},
      {"sleep", &ScriptRunner::Sleep},
      {"http-wait", &ScriptRunner::HttpWait},
      {"wait-for", &ScriptRunner::WaitFor},
      {"timing", &ScriptRunner::Timing},
      {"help", &ScriptRunner::Help},
  };
  try {
    const std::string name = line.Word("command");
    // A run of wait-for lines looks back to the start of the command before it.
    if (name != "wait-for") MarkPrintedLines();
    const auto command = kCommands.find(name);
    if (command == kCommands.end()) throw ScriptError("unknown command " + name);
    (this->*command->second)(line);
  } catch (const std::exception& error) {
    PrintLine("error " + JsonText(error.what()));
  }
}

Player& ScriptRunner::RequirePlayer(const std::string& name) {
  Player* player = host_.game.FindPlayer(name);
  if (player == nullptr) throw ScriptError("unknown player " + name);
  return *player;
}

PluginModule& ScriptRunner::RequireLoadedPlugin() {
  if (!host_.plugin || !host_.plugin->IsLoaded()) throw ScriptError("the plugin is not loaded");
  return *host_.plugin;
}

void ScriptRunner::Load(ScriptLine& line) {
  line.ExpectEnd();
  if (host_.plugin->IsLoaded()) throw ScriptError("the plugin is loaded already");
  host_.plugin->Load();
}

void ScriptRunner::Unload(ScriptLine& line) {
  line.ExpectEnd();
  RequireLoadedPlugin().Unload();
}

void ScriptRunner::NotifyThread(ScriptLine& line, DWORD reason) {
  line.ExpectEnd();
  PluginModule& plugin = RequireLoadedPlugin();
  CallPlugin("DllMain", [&] { plugin.Notify(reason); });
}

void ScriptRunner::Join(ScriptLine& line) {
  PlayerProfile profile;
  profile.script_name = line.Word("player name");
  if (profile.script_name == "-" || profile.script_name.find_first_of("=\"") != std::string::npos)
    throw ScriptError("a player name is a bare word other than -, without = or \"");
  profile.character_name = AsaApi::Tools::Utf8Decode(profile.script_name);
  profile.tribe_name = profile.character_name;
  profile.eos_id = DefaultEosId(profile.script_name);
  profile.player_id = DefaultPlayerId(profile.script_name);
  while (const std::optional<ScriptLine::Option> option = line.NextOption()) {
    const std::string& key = option->key;
    const bool is_flag = key == "nostate" || key == "nochar" || key == "dead" || key == "noowner";
    if (is_flag == option->value.has_value()) {
      throw ScriptError(is_flag ? key + " takes no value" : key + " needs a value");
    }
    if (key == "name")
      profile.character_name = AsaApi::Tools::Utf8Decode(*option->value);
    else if (key == "eos")
      profile.eos_id = AsaApi::Tools::Utf8Decode(*option->value);
    else if (key == "id")
      profile.player_id = ParseInt(*option->value, "id");
    else if (key == "tribe_id")
      profile.tribe_id = ParseInt(*option->value, "tribe_id");
    else if (key == "tribe")
      profile.tribe_name = AsaApi::Tools::Utf8Decode(*option->value);
    else if (key == "nostate")
      profile.has_state = false;
    else if (key == "nochar")
      profile.has_character = false;
    else if (key == "dead")
      profile.dead = true;
    else if (key == "noowner")
      profile.has_owner = false;
    else
      throw ScriptError("unknown option " + key);
  }
  Player* player = nullptr;
  try {
    player = &host_.game.Join(std::move(profile));
  } catch (const std::invalid_argument& error) {
    throw ScriptError(error.what());
  }
  // Once the player exists, the game's login, through the hooks on it.
  using PostLoginFunction = void (*)(AShooterGameMode*, APlayerController*);
  auto* post_login = reinterpret_cast<PostLoginFunction>(
      AsaApi::GetAddress("AShooterGameMode.PostLogin(APlayerController*)"));
  CallPlugin("login", [&] { post_login(host_.game.GameMode(), player->As<APlayerController>()); });
}

void ScriptRunner::SetDead(ScriptLine& line, bool dead) {
  Player& player = RequirePlayer(line.Word("player name"));
  line.ExpectEnd();
  if (!player.profile.has_character)
    throw ScriptError("player " + player.profile.script_name + " has no character");
  player.character.dead = dead;
}

void ScriptRunner::Leave(ScriptLine& line) {
  Player& player = RequirePlayer(line.Word("player name"));
  line.ExpectEnd();
  host_.game.Remove(player);
}

void ScriptRunner::Chat(ScriptLine& line) {
  Player& player = RequirePlayer(line.Word("player name"));
  FString text = ToFString(line.Rest());
  CallPlugin("chat command",
             [&] { host_.commands.DispatchChat(player.As<AShooterPlayerController>(), text); });
}

void ScriptRunner::Console(ScriptLine& line) {
  const std::string name = line.Word("player name or -");
  APlayerController* controller =
      name == "-" ? nullptr : RequirePlayer(name).As<APlayerController>();
  FString text = ToFString(line.Rest());
  bool served = true;
  CallPlugin("console command", [&] { served = host_.commands.DispatchConsole(controller, text); });
  if (!served)
    throw ScriptError("no console command " + AsaApi::Tools::Utf8Encode(FirstWord(text).View()));
}

void ScriptRunner::Rcon(ScriptLine& line) {
  rcon::Packet packet;
  packet.id = next_rcon_id_++;
  packet.type = rcon::kCommand;
  packet.body = line.Rest();
  packet.size = static_cast<std::int32_t>(packet.body.size() + 10);
  host_.ServeRconRequest(0, packet);
}

void ScriptRunner::Logout(ScriptLine& line) {
  const std::string name = line.Word("player name or -");
  line.ExpectEnd();
  Player* player = name == "-" ? nullptr : &RequirePlayer(name);
  using LogoutFunction = void (*)(AShooterGameMode*, AController*);
  auto* logout =
      reinterpret_cast<LogoutFunction>(AsaApi::GetAddress("AShooterGameMode.Logout(AController*)"));
  AController* exiting = player != nullptr ? player->As<AController>() : nullptr;
  CallPlugin("logout", [&] { logout(host_.game.GameMode(), exiting); });
  if (player != nullptr && player->logged_out) host_.game.Remove(*player);
}

void ScriptRunner::Perms(ScriptLine& line) {
  const std::string what = line.Word("on, off, add, remove or fail");
  if (what == "on" || what == "off") {
    host_.permissions.SetLoaded(what == "on");
  } else if (what == "fail") {
    host_.permissions.SetFailing(OnOff(line));
  } else if (what == "add" || what == "remove") {
    const std::string eos_id = line.Text("EOS id");
    const std::string group = line.Text("group");
    if (what == "add") {
      host_.permissions.Add(eos_id, group);
    } else if (!host_.permissions.Remove(eos_id, group)) {
      throw ScriptError(eos_id + " is not in the group " + group);
    }
  } else {
    throw ScriptError("perms takes on, off, add, remove or fail, not " + what);
  }
  line.ExpectEnd();
}

// A single JSON string prints as its text; anything else as typed.
void ScriptRunner::Echo(ScriptLine& line) {
  const std::string rest = line.Rest();
  ScriptLine whole(rest);
  std::string text = rest;
  if (!rest.empty() && rest.front() == '"') {
    try {
      text = whole.Text("text");
      whole.ExpectEnd();
    } catch (const ScriptError&) {
      text = rest;
    }
  }
  PrintLine("echo " + JsonText(text));
}

// Ticks and RCON requests go on meanwhile.
void ScriptRunner::Sleep(ScriptLine& line) {
  const int milliseconds = ParseInt(line.Word("milliseconds"), "MS");
  line.ExpectEnd();
  if (milliseconds < 0 || milliseconds > kMaxSleepMs)
    throw ScriptError("sleep takes 0 to " + std::to_string(kMaxSleepMs) + " milliseconds");
  host_.loop.ServeUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds));
}

// Waits, serving ticks and RCON, until every post made so far has printed its http-status line.
void ScriptRunner::HttpWait(ScriptLine& line) {
  int milliseconds = kDefaultHttpWaitMs;
  if (!line.AtEnd()) milliseconds = ParseInt(line.Word("milliseconds"), "MS");
  line.ExpectEnd();
  if (milliseconds < 0 || milliseconds > kMaxSleepMs)
    throw ScriptError("http-wait takes 0 to " + std::to_string(kMaxSleepMs) + " milliseconds");
  HttpPoster& http = host_.http;
  const std::uint64_t made = http.LastPosted();
  const bool settled = host_.loop.ServeUntil(
      std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds),
      [&http, made] { return http.Settled(made); });
  if (!settled && !host_.loop.StopRequested())
    throw ScriptError("http-wait: posts still pending after " + std::to_string(milliseconds) +
                      " ms");
}

// Waits, serving ticks and RCON, until a line printed since the mark contains the text.
void ScriptRunner::WaitFor(ScriptLine& line) {
  const int milliseconds = ParseInt(line.Word("milliseconds"), "MS");
  const std::string text = line.Rest();
  if (milliseconds < 0 || milliseconds > kMaxSleepMs)
    throw ScriptError("wait-for takes 0 to " + std::to_string(kMaxSleepMs) + " milliseconds");
  if (text.empty()) throw ScriptError("wait-for needs the text of the line to wait for");
  std::uint64_t searched = 0;
  const bool seen = host_.loop.ServeUntil(
      std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds),
      [&text, &searched] { return PrintedSinceMark(text, searched); });
  if (!seen && !host_.loop.StopRequested()) {
    PrintLineUnkept("error " + JsonText("wait-for timeout: no line containing " + JsonText(text) +
                                        " within " + std::to_string(milliseconds) + " ms"));
  }
}

void ScriptRunner::Timing(ScriptLine& line) {
  timing_ = OnOff(line);
  line.ExpectEnd();
}

void ScriptRunner::Help(ScriptLine& line) {
  line.ExpectEnd();
  PrintLine(HelpText());
}

}  // namespace devhost
