// The development host under load, measured on its real process: a burst of HTTP posts against a
// slow receiver, a shutdown with a receiver that never answers, and the memory of a devhost whose
// input is flooded while its script sleeps. Prints a Markdown section for docs/performance.md.
//
//   cmake --build build --target devhost_load && build/bin/devhost_load

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "WebhookReceiver.h"
#include "support/DevhostRunner.h"
#include "support/WaitUntil.h"

namespace {

using Clock = std::chrono::steady_clock;
using veltrane::test::DevhostProcess;
using veltrane::test::DevhostResult;
using veltrane::test::DevhostRunner;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A devhost on the probe plugin, its script on a pipe, its output lines collected as they come.
class ProbeDevhost {
 public:
  ProbeDevhost() : runner_(nlohmann::json{{"Probe", nlohmann::json::object()}}) {
    runner_.SetPlugin(DevhostRunner::BinDir() / "ProbePlugin.so");
    process_ = runner_.Start("", "");
  }
  DevhostProcess* operator->() { return process_.get(); }

  // A field of /proc/PID/status in KiB ("VmHWM", "VmRSS").
  long StatusKib(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(process_->Pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
  }

 private:
  DevhostRunner runner_;
  std::unique_ptr<DevhostProcess> process_;
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
  ProbeDevhost devhost;
  const Clock::time_point start = Clock::now();
  devhost->Send(Posts(receiver.Url(), kPosts) + "http-wait 120000\necho answered\n");
  const bool answered =
      devhost->WaitForLine("echo \"answered\"", 1, std::chrono::seconds(180)).has_value();
  const double seconds = SecondsSince(start);
  const Clock::time_point end_of_input = Clock::now();
  devhost->CloseInput();
  const bool exited = devhost->WaitForExit(std::chrono::seconds(60));
  const double exit_seconds = SecondsSince(end_of_input);
  const DevhostResult result = devhost->Stop();
  std::printf(
      "| %d posts at once, receiver answering each after 0.5 s | %s%.1f s until the last "
      "answer; %zu answered 204, %zu dropped; the receiver got %zu; exit %.2f s after the "
      "end of input%s |\n",
      kPosts, answered ? "" : "(incomplete) ", seconds, result.Count("http-status ", "status=204"),
      result.Count("http-status ", "dropped: "), receiver.Requests().size(), exit_seconds,
      exited ? "" : " (killed)");
}

void ShutdownWithSilentReceiver() {
  constexpr int kPosts = 100;
  veltrane::test::WebhookReceiver silent(204, std::chrono::hours(1));
  ProbeDevhost devhost;
  devhost->Send(Posts(silent.Url(), kPosts));
  // All posted: 64 of them in flight at the receiver, the rest waiting for a place.
  veltrane::test::WaitUntil(std::chrono::seconds(30),
                            [&] { return devhost->Count("http-post ") >= std::size_t(kPosts); });
  silent.WaitForRequests(64, std::chrono::seconds(5));
  const Clock::time_point end_of_input = Clock::now();
  devhost->CloseInput();
  const bool exited = devhost->WaitForExit(std::chrono::seconds(120));
  const double exit_seconds = SecondsSince(end_of_input);
  const DevhostResult result = devhost->Stop();
  std::printf(
      "| %d posts at once, receiver that never answers, then the end of input | exit %.2f s "
      "after the end of input%s; %zu `dropped` lines |\n",
      kPosts, exit_seconds, exited ? "" : " (killed)", result.Count("http-status ", "dropped: "));
}

void FloodDuringSleep() {
  constexpr std::size_t kFloodBytes = 227u << 20;
  constexpr int kSleepMs = 10000;
  ProbeDevhost devhost;
  devhost->Send("sleep " + std::to_string(kSleepMs) + "\n");
  devhost->WaitForLine("load ok", 1, std::chrono::seconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long idle_kib = devhost.StatusKib("VmHWM");
  const std::string line = "# " + std::string(98, 'x') + "\n";
  std::atomic<std::size_t> written{0};
  std::thread writer([&] {
    std::string block;
    while (block.size() < (64u << 10)) block += line;
    while (written < kFloodBytes) {
      devhost->Send(block);
      written += block.size();
    }
    devhost->Send("echo flooded\nsleep 1000\n");
  });
  // Sampled every 100 ms while the script sleeps.
  long peak_during_sleep = 0;
  std::size_t written_during_sleep = 0;
  const Clock::time_point sleep_end = Clock::now() + std::chrono::milliseconds(kSleepMs - 1000);
  while (Clock::now() < sleep_end) {
    peak_during_sleep = std::max(peak_during_sleep, devhost.StatusKib("VmHWM"));
    written_during_sleep = written;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const Clock::time_point drain_start = Clock::now();
  devhost->WaitForLine("echo \"flooded\"", 1, std::chrono::seconds(300));
  const double drain_seconds = SecondsSince(drain_start);
  const long peak_total = devhost.StatusKib("VmHWM");
  writer.join();
  devhost->CloseInput();
  devhost->WaitForExit(std::chrono::seconds(30));
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
