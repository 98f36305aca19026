// devhost: the development host. Implements the plugin's host as a small game server, loads the
// plugin module and drives it with a script (devhost/README.md).

#include <curl/curl.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "DevHost.h"
#include "InputReader.h"
#include "LogSinks.h"
#include "Output.h"
#include "ScriptRunner.h"

namespace {

constexpr char kUsage[] =
    "usage: devhost [--root DIR] [--plugin FILE] [--no-load] [--rcon-port N --rcon-password PW "
    "[--rcon-login-timeout S] [--rcon-idle-timeout S]] [SCRIPT]\n";

struct Options {
  std::filesystem::path root = std::filesystem::current_path();
  std::filesystem::path plugin;
  bool load = true;
  std::optional<std::string> script;
  std::optional<int> rcon_port;
  std::optional<std::string> rcon_password;
  devhost::RconLimits rcon_limits;
};

std::filesystem::path BesideExecutable(const char* file) {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / file;
}

// Empty when the arguments make no sense; the reason is on stderr then.
std::optional<Options> ParseArguments(int argc, char** argv) {
  Options options;
  options.plugin = BesideExecutable("Veltrane.so");
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "--root" && has_value) {
      options.root = argv[++i];
    } else if (argument == "--plugin" && has_value) {
      options.plugin = argv[++i];
    } else if (argument == "--no-load") {
      options.load = false;
    } else if (argument == "--rcon-port" && has_value) {
      const std::string port = argv[++i];
      try {
        options.rcon_port = devhost::ParseInt(port, "--rcon-port");
      } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return std::nullopt;
      }
      if (*options.rcon_port < 0 || *options.rcon_port > 65535) {
        std::cerr << "--rcon-port takes 0 to 65535\n";
        return std::nullopt;
      }
    } else if ((argument == "--rcon-login-timeout" || argument == "--rcon-idle-timeout") &&
               has_value) {
      int seconds = 0;
      try {
        seconds = devhost::ParseInt(argv[++i], argument);
      } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return std::nullopt;
      }
      if (seconds < 1 || seconds > 86400) {
        std::cerr << argument << " takes 1 to 86400 seconds\n";
        return std::nullopt;
      }
      (argument == "--rcon-login-timeout" ? options.rcon_limits.login_timeout
                                          : options.rcon_limits.idle_timeout) =
          std::chrono::seconds(seconds);
    } else if (argument == "--rcon-password" && has_value) {
      options.rcon_password = argv[++i];
    } else if (argument == "--help" || argument == "-h") {
      std::cout << kUsage << devhost::ScriptRunner::HelpText() << "\n";
      std::exit(0);
    } else if (argument.rfind("--", 0) != 0 && !options.script) {
      options.script = argument;
    } else {
      std::cerr << "unexpected argument " << argument << "\n";
      return std::nullopt;
    }
  }
  if (options.rcon_port.has_value() != options.rcon_password.has_value()) {
    std::cerr << "--rcon-port and --rcon-password go together\n";
    return std::nullopt;
  }
  return options;
}

// At the end of the input the game goes on ticking while the posts made so far are answered,
// within the shutdown's grace; what a tick posts meanwhile gets the rest of it.
void FinishPostsWhileTicking(devhost::DevHost& host) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point grace_end = Clock::now() + devhost::HttpPoster::kShutdownGrace;
  const std::uint64_t posted = host.http.LastPosted();
  host.loop.ServeUntil(grace_end, [&host, posted] { return host.http.Settled(posted); });
  const Clock::duration left = std::max(grace_end - Clock::now(), Clock::duration::zero());
  host.http.Finish(std::chrono::duration_cast<std::chrono::milliseconds>(left));
}

void Prompt() {
  std::fputs("devhost> ", stderr);
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseArguments(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }

  // SIGINT and SIGTERM go to one watcher thread, so no other thread is ever interrupted; every
  // thread started from here on inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  curl_global_init(CURL_GLOBAL_DEFAULT);

  devhost::KeepPrintedLines();  // for wait-for, from the first line on
  devhost::DevHost& host = devhost::DevHost::Get();
  host.root = std::filesystem::absolute(options->root).lexically_normal();
  try {
    devhost::OpenLogSinks(host.root);
  } catch (const std::exception& error) {
    std::cerr << "devhost: cannot open the log: " << error.what() << "\n";
    return 1;
  }
  // The plugin reads ROOT/ArkApi/Plugins/NAME/config.json, NAME its module's file name.
  const std::filesystem::path config =
      host.root / "ArkApi" / "Plugins" / options->plugin.stem() / "config.json";
  host.plugin.emplace(
      options->plugin.string(), [&host] { return host.Registrations(); }, config,
      [&host] { host.commands.AbandonTicks(); });

  const int input = options->script ? open(options->script->c_str(), O_RDONLY | O_CLOEXEC) : dup(0);
  if (input < 0) {
    std::cerr << "devhost: cannot read " << options->script.value_or("stdin") << "\n";
    return 1;
  }

  std::atomic<bool> exiting{false};
  std::thread signal_watcher([&host, &exiting, stop_signals] {
    const timespec poll_interval{0, 100'000'000};
    while (!exiting) {
      if (sigtimedwait(&stop_signals, nullptr, &poll_interval) > 0) host.loop.RequestStop();
    }
  });

  int status = 0;
  if (options->rcon_port) {
    host.rcon = std::make_unique<devhost::RconServer>(
        host.loop, *options->rcon_password,
        [&host](int client_id, const devhost::rcon::Packet& packet) {
          host.ServeRconRequest(client_id, packet);
        },
        options->rcon_limits);
    try {
      const int port = host.rcon->Start(*options->rcon_port);
      devhost::PrintLine("rcon-listen port=" + std::to_string(port));
    } catch (const std::exception& error) {
      std::cerr << "devhost: cannot listen for RCON: " << error.what() << "\n";
      status = 1;
    }
  }

  if (status == 0) {
    if (options->load) host.plugin->Load();
    const bool interactive = !options->script && isatty(0) != 0;
    if (interactive) {
      std::cerr << "devhost: type help for the commands, end the input to quit\n";
      Prompt();
    }
    devhost::InputReader reader(input, host.loop);
    devhost::ScriptRunner runner(host);
    while (const std::optional<std::string> line = host.loop.NextLine()) {
      if (*line == devhost::InputReader::kOverlongLine) {
        devhost::PrintLine("error " + devhost::JsonText("line longer than 1 MiB"));
      } else {
        runner.Run(*line);
      }
      if (interactive) Prompt();
    }
    reader.Stop();
    if (host.rcon) {
      host.loop.ServeUntilStop();
      host.rcon->Stop();
    }
    FinishPostsWhileTicking(host);
    if (host.plugin->IsLoaded()) host.plugin->Unload();
    host.http.Finish();
  } else {
    close(input);
  }

  exiting = true;
  signal_watcher.join();
  devhost::FlushLogs();
  curl_global_cleanup();
  return status;
}
