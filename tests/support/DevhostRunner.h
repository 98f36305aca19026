#pragma once
// Runs the real devhost process for end-to-end tests. Each runner owns a fresh root folder (the
// devhost's --root), removed again by its destructor, where the plugin's config.json is written.
//
//   DevhostRunner devhost(config);                    // ROOT/ArkApi/Plugins/Veltrane/config.json
//   DevhostResult result = devhost.Run("join bob\nchat bob /link ABC\n");
//   EXPECT_EQ(result.Count("notify bob "), 1u);
//   EXPECT_EQ(Field(*result.First("notify bob "), "text"), "Account linked");
//
// For RCON over TCP, Start() runs a devhost in the background on a free port:
//
//   auto server = devhost.Start("join bob\n", "secret");
//   ... connect to 127.0.0.1:server->RconPort() ...
//   DevhostResult result = server->Stop();
//
// The benchmarks start their devhosts here too (without RCON: an empty password).

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::test {

// What one devhost run printed.
struct DevhostResult {
  int exit_code = -1;  // -1 when it was killed
  bool timed_out = false;
  std::vector<std::string> lines;      // stdout, one entry per line
  std::vector<std::string> log_lines;  // what this run added to ROOT/logs/devhost.log
  std::string stderr_text;

  std::vector<std::string> WithPrefix(std::string_view prefix) const;
  std::optional<std::string> First(std::string_view prefix) const;
  // Lines that begin with prefix and hold containing.
  std::size_t Count(std::string_view prefix, std::string_view containing = {}) const;
};

// The value of a `key=VALUE` field of an output line, parsed as JSON; a value that is no JSON
// (rgba=1,0,0,1) comes back as a JSON string of its text. None when the line has no such key.
std::optional<nlohmann::json> Field(std::string_view line, std::string_view key);
// The JSON that follows the first word, as in "error JSON" and "echo JSON".
std::optional<nlohmann::json> Payload(std::string_view line);

class DevhostProcess;

class DevhostRunner {
 public:
  DevhostRunner();
  explicit DevhostRunner(const nlohmann::json& config);
  ~DevhostRunner();
  DevhostRunner(const DevhostRunner&) = delete;
  DevhostRunner& operator=(const DevhostRunner&) = delete;

  // Where the devhost and the plugin module are built.
  static std::filesystem::path BinDir();

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path ConfigPath() const;
  void WriteConfig(const nlohmann::json& config) const;
  void WriteConfigText(const std::string& text) const;
  void RemoveConfig() const;
  // The module to load instead of BinDir()/Veltrane.so.
  void SetPlugin(std::filesystem::path module) { plugin_ = std::move(module); }

  // Runs the devhost on script until the script ends and the devhost exits; it is killed when
  // that takes longer than timeout. extra_args go before the script (e.g. "--no-load").
  DevhostResult Run(const std::string& script, const std::vector<std::string>& extra_args = {},
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

  // Starts a devhost serving RCON on a free port with the password, reading script from its
  // stdin; more lines can follow through Send. Empty when it did not come up. extra_args go
  // after the RCON options (e.g. "--rcon-login-timeout", "1"). An empty password serves no RCON,
  // and the devhost is not waited for.
  std::unique_ptr<DevhostProcess> Start(
      const std::string& script, const std::string& rcon_password,
      std::chrono::milliseconds timeout = std::chrono::seconds(10),
      const std::vector<std::string>& extra_args = {}) const;

 private:
  std::vector<std::string> Arguments(const std::vector<std::string>& extra_args) const;
  std::uintmax_t LogSize() const;
  std::vector<std::string> LogLinesAfter(std::uintmax_t offset) const;

  std::filesystem::path root_;
  std::filesystem::path plugin_;
  friend class DevhostProcess;
};

// A devhost running in the background; stopped by Stop() or at the latest by the destructor.
class DevhostProcess {
 public:
  ~DevhostProcess();
  DevhostProcess(const DevhostProcess&) = delete;
  DevhostProcess& operator=(const DevhostProcess&) = delete;

  int RconPort() const { return rcon_port_; }
  int Pid() const;
  // More script lines, as typed.
  void Send(const std::string& lines);
  // Writes bytes to the devhost's input for as long as it takes them: stops when all are written
  // or when its input pipe has stayed full for patience. Answers how many were written.
  std::size_t Offer(const std::string& bytes, std::chrono::milliseconds patience);
  // The occurrence-th stdout line that begins with prefix, waiting for it up to timeout.
  std::optional<std::string> WaitForLine(
      std::string_view prefix, std::size_t occurrence = 1,
      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // How many stdout lines so far begin with prefix and hold containing.
  std::size_t Count(std::string_view prefix, std::string_view containing = {}) const;
  // Ends the input, as the end of a script does.
  void CloseInput();
  // Waits up to timeout for the devhost to exit by itself; false while it still runs.
  bool WaitForExit(std::chrono::milliseconds timeout);
  // Waits until every line sent so far has run, ends the input, sends SIGTERM and waits for the
  // exit (killed after timeout). Pending HTTP posts finish and the plugin is unloaded first.
  DevhostResult Stop(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  struct State;
  DevhostProcess(const DevhostRunner& runner, std::unique_ptr<State> state);

  const DevhostRunner& runner_;
  std::unique_ptr<State> state_;
  int rcon_port_ = 0;
  friend class DevhostRunner;
};

}  // namespace veltrane::test
