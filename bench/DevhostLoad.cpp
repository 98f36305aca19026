// The development host under load, measured on its real process: a burst of HTTP posts against a
// slow receiver, a shutdown with a receiver that never answers, and the memory of a devhost whose
// input is flooded while its script sleeps. Prints a Markdown section for docs/performance.md.
//
//   cmake --build build --target devhost_load && build/bin/devhost_load

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "WebhookReceiver.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A devhost on the probe plugin, its script on a pipe, its output lines collected by a thread.
class Devhost {
 public:
  Devhost() {
    std::string pattern = (fs::temp_directory_path() / "veltrane-devhost-load-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    fs::create_directories(root_ / "ArkApi" / "Plugins" / "Veltrane");
    std::ofstream(root_ / "ArkApi" / "Plugins" / "Veltrane" / "config.json") << R"({"Probe":{}})";

    signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe2 failed");
    const fs::path bin = VELTRANE_BIN_DIR;
    const std::vector<std::string> arguments = {(bin / "devhost").string(), "--root",
                                                root_.string(), "--plugin",
                                                (bin / "ProbePlugin.so").string()};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("cannot start the devhost");
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    reader_ = std::thread([this] { Read(); });
  }

  ~Devhost() {
    CloseInput();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    WaitForOutputEnd();
    close(output_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  int Pid() const { return pid_; }

  void Write(const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
      const ssize_t count = write(input_, text.data() + written, text.size() - written);
      if (count <= 0) return;
      written += std::size_t(count);
    }
  }

  // Waits until the devhost's output has ended and every line of it is read.
  void WaitForOutputEnd() {
    if (reader_.joinable()) reader_.join();
  }

  void CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }

  // Waits for a line that begins with prefix, up to timeout; when it came, after how long.
  bool WaitForLine(const std::string& prefix, std::chrono::seconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      {
        const std::lock_guard<std::mutex> guard(lock_);
        for (const std::string& line : lines_)
          if (line.rfind(prefix, 0) == 0) return true;
        if (closed_) return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Waits for the exit, up to timeout; false when it had to be killed.
  bool WaitForExit(std::chrono::seconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::size_t Count(const std::string& prefix, const std::string& containing = "") {
    const std::lock_guard<std::mutex> guard(lock_);
    std::size_t count = 0;
    for (const std::string& line : lines_)
      if (line.rfind(prefix, 0) == 0 && line.find(containing) != std::string::npos) ++count;
    return count;
  }

  // A field of /proc/PID/status in KiB ("VmHWM", "VmRSS").
  long StatusKib(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
  }

 private:
  void Read() {
    std::string pending;
    char chunk[65536];
    while (true) {
      const ssize_t count = read(output_, chunk, sizeof chunk);
      if (count <= 0) break;
      pending.append(chunk, std::size_t(count));
      std::size_t start = 0;
      const std::lock_guard<std::mutex> guard(lock_);
      for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
        lines_.push_back(pending.substr(start, end - start));
      pending.erase(0, start);
    }
    const std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
  }

  fs::path root_;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::thread reader_;
  std::mutex lock_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

std::string Posts(const std::string& url, int count) {
  std::string script = "join bob\n";
  for (int i = 0; i < count; ++i)
    script += "chat bob /probe post " + url + " {\"n\":" + std::to_string(i) + "}\n";
  return script;
}

void BurstAgainstSlowReceiver() {
  constexpr int kPosts = 1000;
  veltrane::test::WebhookReceiver receiver(204, std::chrono::milliseconds(500));
  Devhost devhost;
  const Clock::time_point start = Clock::now();
  devhost.Write(Posts(receiver.Url(), kPosts) + "http-wait 120000\necho answered\n");
  const bool answered = devhost.WaitForLine("echo \"answered\"", std::chrono::seconds(180));
  const double seconds = SecondsSince(start);
  const Clock::time_point end_of_input = Clock::now();
  devhost.CloseInput();
  const bool exited = devhost.WaitForExit(std::chrono::seconds(60));
  const double exit_seconds = SecondsSince(end_of_input);
  std::printf(
      "| %d posts at once, receiver answering each after 0.5 s | %s%.1f s until the last "
      "answer; %zu answered 204, %zu dropped; the receiver got %zu; exit %.2f s after the "
      "end of input%s |\n",
      kPosts, answered ? "" : "(incomplete) ", seconds, devhost.Count("http-status ", "status=204"),
      devhost.Count("http-status ", "dropped: "), receiver.Requests().size(), exit_seconds,
      exited ? "" : " (killed)");
}

void ShutdownWithSilentReceiver() {
  constexpr int kPosts = 100;
  veltrane::test::WebhookReceiver silent(204, std::chrono::hours(1));
  Devhost devhost;
  devhost.Write(Posts(silent.Url(), kPosts));
  // All posted: 64 of them in flight at the receiver, the rest waiting for a place.
  for (int tries = 0; tries < 3000 && devhost.Count("http-post ") < std::size_t(kPosts); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  silent.WaitForRequests(64, std::chrono::seconds(5));
  const Clock::time_point end_of_input = Clock::now();
  devhost.CloseInput();
  const bool exited = devhost.WaitForExit(std::chrono::seconds(120));
  const double exit_seconds = SecondsSince(end_of_input);
  devhost.WaitForOutputEnd();
  std::printf(
      "| %d posts at once, receiver that never answers, then the end of input | exit %.2f s "
      "after the end of input%s; %zu `dropped` lines |\n",
      kPosts, exit_seconds, exited ? "" : " (killed)", devhost.Count("http-status ", "dropped: "));
}

void FloodDuringSleep() {
  constexpr std::size_t kFloodBytes = 227u << 20;
  constexpr int kSleepMs = 10000;
  Devhost devhost;
  devhost.Write("sleep " + std::to_string(kSleepMs) + "\n");
  devhost.WaitForLine("load ok", std::chrono::seconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long idle_kib = devhost.StatusKib("VmHWM");
  const std::string line = "# " + std::string(98, 'x') + "\n";
  std::atomic<std::size_t> written{0};
  std::thread writer([&] {
    std::string block;
    while (block.size() < (64u << 10)) block += line;
    while (written < kFloodBytes) {
      devhost.Write(block);
      written += block.size();
    }
    devhost.Write("echo flooded\nsleep 1000\n");
  });
  long peak_during_sleep = 0;
  std::size_t written_during_sleep = 0;
  const Clock::time_point sleep_end = Clock::now() + std::chrono::milliseconds(kSleepMs - 1000);
  while (Clock::now() < sleep_end) {
    peak_during_sleep = std::max(peak_during_sleep, devhost.StatusKib("VmHWM"));
    written_during_sleep = written;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const Clock::time_point drain_start = Clock::now();
  devhost.WaitForLine("echo \"flooded\"", std::chrono::seconds(300));
  const double drain_seconds = SecondsSince(drain_start);
  const long peak_total = devhost.StatusKib("VmHWM");
  writer.join();
  devhost.CloseInput();
  devhost.WaitForExit(std::chrono::seconds(30));
  std::printf(
      "| %zu MiB of comment lines written to the input during a %d s `sleep` | the writer "
      "got at most %zu KiB into the pipe while the script slept (then it waited); peak "
      "resident memory %ld MiB idle, %ld MiB during the sleep, %ld MiB after all %zu MiB "
      "were run (%.1f s) |\n",
      kFloodBytes >> 20, kSleepMs / 1000, written_during_sleep >> 10, idle_kib / 1024,
      peak_during_sleep / 1024, peak_total / 1024, kFloodBytes >> 20, drain_seconds);
}

}  // namespace

int main() {
  try {
    std::printf("| Load | Measured |\n|---|---|\n");
    std::fflush(stdout);
    BurstAgainstSlowReceiver();
    std::fflush(stdout);
    ShutdownWithSilentReceiver();
    std::fflush(stdout);
    FloodDuringSleep();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "devhost_load: %s\n", error.what());
    return 1;
  }
  return 0;
}
