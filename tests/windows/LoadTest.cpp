// The Windows load test, run under Wine (run-wine-load-test): this program plays the Windows
// host's loading of Veltrane.dll with the platform's loader, against the stand-in host module
// (HostStandIn.cpp) and a MariaDB client whose server is down (MariadbStandIn.cpp). The database
// path itself is tested on Linux against the real MariaDB server. Prints one line per check and
// exits with 1 when one failed.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostStandIn.h"
#include "host/Permissions.h"

namespace {

namespace fs = std::filesystem;

int failures = 0;

void Check(bool passed, const std::string& what) {
  std::printf("%s %s\n", passed ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!passed) ++failures;
}

std::string Utf8(const std::wstring& text) {
  return AsaApi::Tools::Utf8Encode(std::u16string(text.begin(), text.end()));
}

std::string ModuleFile(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  return Utf8(std::wstring(path, length));
}

bool Logged(const std::string& line) {
  for (const std::string& logged : standin::LogLines())
    if (logged == line) return true;
  return false;
}

bool LoggedStartingWith(const std::string& prefix) {
  for (const std::string& logged : standin::LogLines())
    if (logged.starts_with(prefix)) return true;
  return false;
}

// The host's own line through the sink it shares with the plugin, in the host's pattern. After
// FreeLibrary this once crashed the host: the plugin had put a formatter of its DLL into the sink.
void HostLogsInItsPattern(const std::string& when) {
  const std::string text = "a line of the host " + when;
  standin::LogAsHost(text);
  Check(Logged("[AsaApi][info] " + text), "the host logs in its own pattern " + when);
}

constexpr char kConfig[] = R"({
  "Settings": {"Discord": {}},
  "Messages": {"LinkDiscordCmd": "/link", "CmdUsage": "Usage: /link CODE"},
  "Database": {"MysqlHost": "127.0.0.1", "MysqlUser": "veltrane", "MysqlDB": "veltrane"}
})";
constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

class LoadTest {
 public:
  explicit LoadTest(const fs::path& folder)
      : plugin_(folder / "Veltrane.dll"),
        // Not ASCII, so that the plugin must open the file by its UTF-8 path.
        root_(folder / "load-test-root" / L"Zo\u00EB"),
        config_(root_ / "ArkApi" / "Plugins" / "Veltrane" / "config.json") {
    fs::remove_all(root_.parent_path());
    fs::create_directories(config_.parent_path());
    const std::u8string root_text = root_.u8string();
    standin::Host().current_dir = std::string(root_text.begin(), root_text.end());
  }

  ~LoadTest() {
    std::error_code ignored;
    fs::remove_all(root_.parent_path(), ignored);
  }

  void WriteConfig(const std::string& text) {
    fs::remove_all(config_);
    std::ofstream(config_, std::ios::binary) << text;
  }

  // Blocking, the store connects inside the load; non-blocking, at the first tick, which the
  // stand-in host calls here once.
  void ValidConfigurationRegistersAndFreeLibraryRemoves(bool non_blocking) {
    const std::string mode = non_blocking ? " (non-blocking store)" : "";
    std::string config = kConfig;
    if (non_blocking) {
      config.replace(config.find("\"MysqlDB\""), 0, "\"NonBlocking\": true, ");
    }
    WriteConfig(config);
    Reset();
    const HMODULE plugin = LoadLibraryW(plugin_.c_str());
    Check(plugin != nullptr, "a valid config.json loads (error " + std::to_string(GetLastError()) +
                                 "), read from a UTF-8 path" + mode);
    if (plugin == nullptr) return;
    standin::HostRecord& host = standin::Host();
    Check(host.tick_callbacks.count("Veltrane.PendingWork") == 1,
          "the tick is registered in either store mode" + mode);
    if (non_blocking) {
      Check(!LoggedStartingWith("[Veltrane][critical]"), "the load does not connect" + mode);
      if (host.tick_callbacks.count("Veltrane.PendingWork") == 1) {
        host.tick_callbacks["Veltrane.PendingWork"](0.016f);
      }
    }
    Check(host.chat_commands.count("/link") == 1, "the link chat command is registered");
    Check(host.console_commands.count("Veltrane.Reload") == 1, "the console reload is registered");
    Check(host.rcon_commands.count("Veltrane.Reload") == 1, "the RCON reload is registered");
    Check(host.hooks.count("AShooterGameMode.Logout(AController*)") == 1,
          "the logout hook is installed");
    Check(Logged("[Veltrane][critical] Failed to open connection!") &&
              LoggedStartingWith("[Veltrane][error] Database server 127.0.0.1:3306 "),
          "the plugin logs through the host's sink, in the host's pattern, that the database is "
          "down" +
              mode);
    HostLogsInItsPattern("while the plugin is loaded");

    // A chat line without a code: the usage reply, through the messaging service of the plugin's
    // own module file.
    if (host.chat_commands.count("/link") == 1) {
      FString line(u"/link");
      host.chat_commands["/link"](reinterpret_cast<AShooterPlayerController*>(&host), &line, 0, 0);
    }
    Check(host.notifications == std::vector<std::string>{"Usage: /link CODE"},
          "the link command without a code answers the usage text");
    Check(host.messaging_paths == std::vector<std::string>{ModuleFile(plugin)},
          "the plugin names its own module file to the messaging service: " +
              (host.messaging_paths.empty() ? std::string("none") : host.messaging_paths[0]));

    Check(FreeLibrary(plugin) != FALSE, "FreeLibrary succeeds" + mode);
    Check(host.NothingRegistered(), "after FreeLibrary nothing stays registered" + mode);
    Check(GetModuleHandleW(L"Veltrane.dll") == nullptr, "the module is unloaded");
    HostLogsInItsPattern("after FreeLibrary");
  }

  // A failed Load must not let its exception into the loader: LoadLibrary fails with the
  // loader's error for an entry point that answered FALSE, and the detach after it removes
  // nothing.
  void RefusedConfigurationFailsTheLoad(const std::string& what, const std::string& logged) {
    Reset();
    const HMODULE plugin = LoadLibraryW(plugin_.c_str());
    const DWORD error = GetLastError();
    Check(plugin == nullptr && error == ERROR_DLL_INIT_FAILED,
          what + ": LoadLibrary fails with error 1114 (error " + std::to_string(error) + ")");
    if (plugin != nullptr) FreeLibrary(plugin);
    Check(standin::Host().NothingRegistered(), what + ": nothing stays registered");
    Check(LoggedStartingWith(logged), what + ": the plugin logs \"" + logged + "\"");
    Check(GetModuleHandleW(L"Veltrane.dll") == nullptr, what + ": the module is unloaded");
    HostLogsInItsPattern("after " + what + " failed the load");
  }

  void RefusedConfigurations() {
    fs::remove_all(config_);
    RefusedConfigurationFailsTheLoad("a missing config.json",
                                     "[Veltrane][error] Can't open config.json");
    WriteConfig("{\"Settings\": {\"Discord\": {}},");
    RefusedConfigurationFailsTheLoad(
        "an invalid config.json",
        "[Veltrane][error] config.json: parse error at line 1, column 30");
    fs::remove_all(config_);
    fs::create_directory(config_);
    RefusedConfigurationFailsTheLoad(
        "a directory in config.json's place",
        "[Veltrane][error] Can't open config.json: not a regular file");
    WriteConfig(kConfig + std::string(kMaxConfigBytes + 1 - std::string(kConfig).size(), ' '));
    RefusedConfigurationFailsTheLoad(
        "a config.json of 1 MiB and one byte",
        "[Veltrane][error] Can't read config.json: larger than 1 MiB (1048576 bytes)");

    std::string schannel_config = kConfig;
    schannel_config.replace(schannel_config.find("\"MysqlDB\""), 0,
                            "\"NonBlocking\": true, \"TlsMode\": \"REQUIRED\", ");
    WriteConfig(schannel_config);
    RefusedConfigurationFailsTheLoad(
        "a non-blocking store with TLS over the library's Schannel",
        "[Veltrane][error] Database.TlsMode: TLS cannot be used with NonBlocking: the client "
        "library (libmariadb 3.4.10 with Schannel) does its TLS with Schannel");

    WriteConfig(kConfig + std::string(kMaxConfigBytes - std::string(kConfig).size(), ' '));
    Reset();
    const HMODULE plugin = LoadLibraryW(plugin_.c_str());
    Check(plugin != nullptr, "a config.json of exactly 1 MiB loads");
    if (plugin != nullptr) FreeLibrary(plugin);
  }

  // Each load, failed or not, left the C++ runtime linked into the DLL in the host: a TLS slot,
  // four handles and 75 KiB of heap. The 1,084th load killed it.
  void RepeatedLoadsLeaveNothingBehind() {
    const auto cycle = [this](int round) {  // an even round loads, an odd one has no config.json
      if (round % 2 == 0) {
        WriteConfig(kConfig);
      } else {
        fs::remove_all(config_);
      }
      Reset();
      const HMODULE plugin = LoadLibraryW(plugin_.c_str());
      if (plugin != nullptr) FreeLibrary(plugin);
      return (plugin != nullptr) == (round % 2 == 0);
    };
    bool as_expected = cycle(0) && cycle(1);  // what the first load keeps for good is not counted
    Reset();
    const HostResources before = HostResources::Now();
    for (int round = 0; round < kCycles; ++round) as_expected = cycle(round) && as_expected;
    Reset();
    const HostResources after = HostResources::Now();
    const auto counted = [](const char* what, std::size_t was, std::size_t is) {
      return std::string(what) + ": " + std::to_string(was) + ", then " + std::to_string(is) +
             " after " + std::to_string(kCycles) + " load/free cycles, half of them failed";
    };
    Check(as_expected, "in the cycles every valid config.json loaded and every missing one failed");
    Check(after.free_tls_slots == before.free_tls_slots,
          counted("free TLS slots", before.free_tls_slots, after.free_tls_slots));
    Check(after.handles <= before.handles + kHandleSlack,
          counted("handles", before.handles, after.handles));
    Check(after.heap_bytes <= before.heap_bytes + kCycles * kHeapSlackPerCycle,
          counted("bytes of heap in use", before.heap_bytes, after.heap_bytes));
  }

 private:
  // What a load could leave behind in the host process.
  struct HostResources {
    std::size_t free_tls_slots = 0;
    std::size_t handles = 0;
    std::size_t heap_bytes = 0;  // busy blocks of every heap of the process

    static HostResources Now() {
      HostResources now;
      std::vector<DWORD> slots;
      for (DWORD slot = TlsAlloc(); slot != TLS_OUT_OF_INDEXES; slot = TlsAlloc()) {
        slots.push_back(slot);
      }
      for (const DWORD slot : slots) TlsFree(slot);
      now.free_tls_slots = slots.size();
      // Wine answers 0 to GetProcessHandleCount: handles are counted by their values, multiples
      // of 4 given out from the lowest free one.
      for (std::uintptr_t value = 4; value <= 4 * kHandlesProbed; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++now.handles;
      }
      std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 8);
      heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
      for (const HANDLE heap : heaps) {
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry)) {
          if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) now.heap_bytes += entry.cbData;
        }
      }
      return now;
    }
  };
  static constexpr int kCycles = 200;
  static constexpr std::uintptr_t kHandlesProbed = 8192;
  static constexpr std::size_t kHandleSlack = 4;
  // Wine's loader keeps about 300 bytes of every LoadLibrary, also of its own DLLs that have no
  // C runtime.
  static constexpr std::size_t kHeapSlackPerCycle = 1024;

  static void Reset() {
    standin::HostRecord& host = standin::Host();
    const std::string current_dir = host.current_dir;
    host = standin::HostRecord();
    host.current_dir = current_dir;
    standin::ClearLog();
  }

  fs::path plugin_;
  fs::path root_;
  fs::path config_;
};

// The Permissions plugin's functions are bound by name from Permissions.dll, and only once the
// host has it loaded.
void PermissionsAreBoundFromTheirModule() {
  const FString eos_id(u"EOS-1");
  const FString group(u"Verified");
  bool refused = false;
  try {
    Permissions::IsPlayerInGroup(eos_id, group);
  } catch (const std::runtime_error& error) {
    refused = std::string(error.what()) == "Permissions: cannot bind Permissions_IsPlayerInGroup";
  }
  Check(refused, "without Permissions.dll its functions cannot be bound");

  const HMODULE permissions = LoadLibraryW(L"Permissions.dll");
  Check(permissions != nullptr, "Permissions.dll loads");
  if (permissions == nullptr) return;
  Check(Permissions::IsPlayerInGroup(eos_id, group), "IsPlayerInGroup is bound and answers");
  Check(Permissions::AddPlayerToGroup(eos_id, group) == std::string("refused by the stand-in"),
        "AddPlayerToGroup is bound and answers");
  FreeLibrary(permissions);
}

}  // namespace

int main() {
  wchar_t executable[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, executable, MAX_PATH);
  LoadTest test(fs::path(executable).parent_path());
  for (const bool non_blocking : {false, true}) {
    test.ValidConfigurationRegistersAndFreeLibraryRemoves(non_blocking);
  }
  test.RefusedConfigurations();
  test.RepeatedLoadsLeaveNothingBehind();
  PermissionsAreBoundFromTheirModule();
  std::printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
