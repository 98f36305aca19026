#include "InProcessPlugin.h"

#include <fstream>
#include <stdexcept>

#include "DevHost.h"
#include "LogSinks.h"
#include "Output.h"
#include "host/AsaApi.h"

namespace veltrane::bench {

namespace {

constexpr char kLogoutFunction[] = "AShooterGameMode.Logout(AController*)";
constexpr char kLoginFunction[] = "AShooterGameMode.PostLogin(APlayerController*)";

void SkipGameLogout(AShooterGameMode* /*game_mode*/, AController* /*exiting*/) {}

// The hook table writes the function below each detour into its slot whenever the chain changes
// (the plugin's hook going in or out), so the slot must outlive the harness's detour.
void* game_logout_below_skip = nullptr;

}  // namespace

InProcessPlugin::InProcessPlugin(std::filesystem::path root,
                                 const std::filesystem::path& example_config, ServerAddress server,
                                 const std::filesystem::path& module)
    : root_(std::move(root)), server_(std::move(server)) {
  std::ifstream example(example_config);
  if (!example) throw std::runtime_error("cannot read " + example_config.string());
  example >> example_;

  devhost::DevHost& host = devhost::DevHost::Get();
  host.root = root_;
  std::filesystem::create_directories(root_ / "ArkApi" / "Plugins" / "Veltrane");
  devhost::OpenLogSinks(root_);
  if (!host.hooks.InstallHook(kLogoutFunction, reinterpret_cast<LPVOID>(&SkipGameLogout),
                              &game_logout_below_skip)) {
    throw std::runtime_error("the host has no game logout to stand in for");
  }
  // The harness's own detour is no registration of the plugin's.
  host.plugin.emplace(module.string(), [&host] { return host.Registrations() - 1; });
}

InProcessPlugin::~InProcessPlugin() {
  devhost::DevHost& host = devhost::DevHost::Get();
  if (host.plugin && host.plugin->IsLoaded()) host.plugin->Unload();
}

void InProcessPlugin::Use(const std::string& database, StoreMode mode, bool refresh_on_logout,
                          bool login_steps) {
  devhost::PluginModule& plugin = *devhost::DevHost::Get().plugin;
  if (plugin.IsLoaded() && database_ == database && mode_ == mode && login_steps_ == login_steps) {
    if (refresh_on_logout_ == refresh_on_logout) return;
    WriteConfig(database, mode, refresh_on_logout, login_steps);
    FString reload(u"Veltrane.Reload");
    devhost::DevHost::Get().commands.DispatchConsole(nullptr, reload);
    refresh_on_logout_ = refresh_on_logout;
    return;
  }
  // The store is made at load, so another database or mode takes a new load.
  if (plugin.IsLoaded()) plugin.Unload();
  database_.reset();
  WriteConfig(database, mode, refresh_on_logout, login_steps);
  devhost::DevHost::Get().permissions.SetLoaded(login_steps);
  plugin.Load();
  if (!plugin.IsLoaded()) {
    throw std::runtime_error("the plugin did not load; its log: " +
                             (root_ / "logs" / "devhost.log").string());
  }
  database_ = database;
  mode_ = mode;
  refresh_on_logout_ = refresh_on_logout;
  login_steps_ = login_steps;
}

void InProcessPlugin::LoadAnew() {
  devhost::PluginModule& plugin = *devhost::DevHost::Get().plugin;
  if (plugin.IsLoaded()) plugin.Unload();
  plugin.Load();
  if (!plugin.IsLoaded()) {
    throw std::runtime_error("the plugin did not load; its log: " +
                             (root_ / "logs" / "devhost.log").string());
  }
}

void InProcessPlugin::UseRefresh(StoreMode mode, bool refresh_on_logout,
                                 const std::string& database_when_unloaded) {
  Use(database_.value_or(database_when_unloaded), mode, refresh_on_logout);
}

devhost::Player& InProcessPlugin::Join(devhost::PlayerProfile profile) {
  return devhost::DevHost::Get().game.Join(std::move(profile));
}

void InProcessPlugin::Leave(devhost::Player& player) {
  devhost::DevHost::Get().game.Remove(player);
}

void InProcessPlugin::Chat(devhost::Player& player, FString& line) {
  devhost::DevHost::Get().commands.DispatchChat(player.As<AShooterPlayerController>(), line);
}

InProcessPlugin::LogoutFunction InProcessPlugin::LogoutEntry() {
  return reinterpret_cast<LogoutFunction>(AsaApi::GetAddress(kLogoutFunction));
}

InProcessPlugin::LoginFunction InProcessPlugin::LoginEntry() {
  return reinterpret_cast<LoginFunction>(AsaApi::GetAddress(kLoginFunction));
}

AShooterGameMode* InProcessPlugin::GameMode() { return devhost::DevHost::Get().game.GameMode(); }

std::string InProcessPlugin::MessageText(const std::string& key) const {
  return example_.at("Messages").at(key).get<std::string>();
}

std::string InProcessPlugin::PrintedMessageText(const std::string& key) const {
  return "text=" + devhost::JsonText(MessageText(key));
}

void InProcessPlugin::WriteConfig(const std::string& database, StoreMode mode,
                                  bool refresh_on_logout, bool login_steps) const {
  nlohmann::json config = example_;
  nlohmann::json& settings = config["Settings"];
  settings["debug"] = false;
  settings["UsePermissions"] = false;
  settings["NotificationMode"] = true;
  settings["UpdatePlayerDataOnLogout"] = refresh_on_logout;
  settings["Discord"]["EnableDiscord"] = false;
  if (login_steps) {
    settings["UsePermissions"] = true;
    settings["RestoreGroupAtLogin"] = true;
    settings["LinkReminderDelaySeconds"] = 0;
    config["Messages"]["LinkReminder"] = "Link your account on our Discord.";
  }
  config["Database"] = {{"MysqlHost", server_.host},
                        {"MysqlPort", server_.port},
                        {"MysqlUser", server_.user},
                        {"MysqlPass", server_.password},
                        {"MysqlDB", database},
                        {"MysqlTimeout", mysql_timeout_seconds_},
                        {"NonBlocking", mode == StoreMode::NonBlocking}};
  if (!server_.tls_ca.empty()) {
    config["Database"]["TlsMode"] = "VERIFY_IDENTITY";
    config["Database"]["TlsCa"] = server_.tls_ca;
  }
  std::ofstream(root_ / "ArkApi" / "Plugins" / "Veltrane" / "config.json") << config.dump(2);
}

}  // namespace veltrane::bench
