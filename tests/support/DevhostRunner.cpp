#include "DevhostRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/WaitUntil.h"

namespace veltrane::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kStopMarker[] = "devhost-runner-stops-here";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

struct Child {
  pid_t pid = -1;
  int input = -1;  // the child's stdin, when it has a pipe
  int output = -1;
  int errors = -1;
};

void ClosePipe(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

Child Spawn(const std::vector<std::string>& arguments, bool with_input) {
  // A devhost that is gone must not take the test process with it when the test writes to it.
  signal(SIGPIPE, SIG_IGN);
  int in[2] = {-1, -1};
  int out[2];
  int err[2];
  if ((with_input && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (with_input) {
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  Child child;
  const int failed = posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {in[0], out[1], err[1]})
    if (fd >= 0) close(fd);
  child.input = in[1];
  child.output = out[0];
  child.errors = err[0];
  if (failed != 0) {
    ClosePipe(child.input);
    ClosePipe(child.output);
    ClosePipe(child.errors);
    throw std::runtime_error("cannot start " + arguments[0]);
  }
  return child;
}

// Reads both pipes until they close or the deadline passes; false at the deadline. on_output gets
// each piece of stdout as it comes, and then out keeps none of it.
bool ReadUntilClosed(Child& child, Clock::time_point deadline, std::string& out, std::string& err,
                     const std::function<void(std::string_view)>& on_output = {}) {
  char chunk[4096];
  while (child.output >= 0 || child.errors >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd polled[2] = {{child.output, POLLIN, 0}, {child.errors, POLLIN, 0}};
    if (poll(polled, 2, int(std::min<long long>(left.count(), 1000))) < 0 && errno != EINTR)
      return false;
    for (int i = 0; i < 2; ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      const ssize_t count = read(polled[i].fd, chunk, sizeof chunk);
      if (count <= 0) {
        ClosePipe(i == 0 ? child.output : child.errors);
        continue;
      }
      if (i == 0 && on_output) {
        on_output(std::string_view(chunk, std::size_t(count)));
      } else {
        (i == 0 ? out : err).append(chunk, std::size_t(count));
      }
    }
  }
  return true;
}

// Waits for the child's exit up to the deadline; false when it is still running.
bool AwaitExit(pid_t pid, Clock::time_point deadline, int& exit_code) {
  int status = 0;
  if (!WaitUntil(deadline, [&] { return waitpid(pid, &status, WNOHANG) != 0; })) return false;
  exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

// Waits for the child's exit up to the deadline, then kills it; its exit code or -1.
int Reap(pid_t pid, Clock::time_point deadline, bool& killed) {
  int exit_code = -1;
  if (AwaitExit(pid, deadline, exit_code)) return exit_code;
  kill(pid, SIGKILL);
  killed = true;
  waitpid(pid, nullptr, 0);
  return -1;
}

// Lines that begin with prefix and hold containing.
std::size_t CountLines(const std::vector<std::string>& lines, std::string_view prefix,
                       std::string_view containing) {
  return std::size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return StartsWith(line, prefix) && line.find(containing) != std::string::npos;
  }));
}

}  // namespace

std::vector<std::string> DevhostResult::WithPrefix(std::string_view prefix) const {
  std::vector<std::string> found;
  for (const std::string& line : lines)
    if (StartsWith(line, prefix)) found.push_back(line);
  return found;
}

std::optional<std::string> DevhostResult::First(std::string_view prefix) const {
  for (const std::string& line : lines)
    if (StartsWith(line, prefix)) return line;
  return std::nullopt;
}

std::size_t DevhostResult::Count(std::string_view prefix, std::string_view containing) const {
  return CountLines(lines, prefix, containing);
}

namespace {

// The end of a field's value that starts at `at`: a JSON string runs to its closing quote,
// anything else to the next space.
std::size_t ValueEnd(std::string_view line, std::size_t at) {
  if (at < line.size() && line[at] == '"') {
    std::size_t i = at + 1;
    while (i < line.size() && line[i] != '"') i += line[i] == '\\' ? 2 : 1;
    return std::min(i + 1, line.size());
  }
  const std::size_t space = line.find(' ', at);
  return space == std::string_view::npos ? line.size() : space;
}

nlohmann::json ParseValue(std::string_view value) {
  nlohmann::json parsed = nlohmann::json::parse(value, nullptr, false);
  return parsed.is_discarded() ? nlohmann::json(std::string(value)) : parsed;
}

}  // namespace

std::optional<nlohmann::json> Field(std::string_view line, std::string_view key) {
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t token_end = ValueEnd(line, at);
    const std::string_view token = line.substr(at, token_end - at);
    const std::size_t equals = token.find('=');
    if (equals != std::string_view::npos && token.substr(0, equals) == key) {
      const std::size_t value_start = at + equals + 1;
      return ParseValue(line.substr(value_start, ValueEnd(line, value_start) - value_start));
    }
    // a key=value token whose value is a JSON string holds spaces: skip it whole
    at = equals != std::string_view::npos ? ValueEnd(line, at + equals + 1) : token_end;
    while (at < line.size() && line[at] == ' ') ++at;
  }
  return std::nullopt;
}

std::optional<nlohmann::json> Payload(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  nlohmann::json parsed = nlohmann::json::parse(line.substr(space + 1), nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

DevhostRunner::DevhostRunner() : plugin_(BinDir() / "Veltrane.so") {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "veltrane-devhost-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
}

DevhostRunner::DevhostRunner(const nlohmann::json& config) : DevhostRunner() {
  WriteConfig(config);
}

DevhostRunner::~DevhostRunner() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::filesystem::path DevhostRunner::BinDir() { return VELTRANE_BIN_DIR; }

std::filesystem::path DevhostRunner::ConfigPath() const {
  return root_ / "ArkApi" / "Plugins" / "Veltrane" / "config.json";
}

void DevhostRunner::WriteConfig(const nlohmann::json& config) const {
  WriteConfigText(config.dump(2));
}

void DevhostRunner::WriteConfigText(const std::string& text) const {
  std::filesystem::create_directories(ConfigPath().parent_path());
  std::ofstream(ConfigPath(), std::ios::binary | std::ios::trunc) << text;
}

void DevhostRunner::RemoveConfig() const { std::filesystem::remove(ConfigPath()); }

std::vector<std::string> DevhostRunner::Arguments(
    const std::vector<std::string>& extra_args) const {
  std::vector<std::string> arguments = {(BinDir() / "devhost").string(), "--root", root_.string(),
                                        "--plugin", plugin_.string()};
  arguments.insert(arguments.end(), extra_args.begin(), extra_args.end());
  return arguments;
}

std::uintmax_t DevhostRunner::LogSize() const {
  std::error_code missing;
  const std::uintmax_t size = std::filesystem::file_size(root_ / "logs" / "devhost.log", missing);
  return missing ? 0 : size;
}

std::vector<std::string> DevhostRunner::LogLinesAfter(std::uintmax_t offset) const {
  std::ifstream log(root_ / "logs" / "devhost.log", std::ios::binary);
  if (!log) return {};
  log.seekg(std::streamoff(offset));
  std::ostringstream text;
  text << log.rdbuf();
  return SplitLines(text.str());
}

DevhostResult DevhostRunner::Run(const std::string& script,
                                 const std::vector<std::string>& extra_args,
                                 std::chrono::milliseconds timeout) const {
  const std::filesystem::path script_path = root_ / "script.devhost";
  std::ofstream(script_path, std::ios::binary | std::ios::trunc) << script;
  std::vector<std::string> arguments = Arguments(extra_args);
  arguments.push_back(script_path.string());

  const std::uintmax_t log_offset = LogSize();
  const Clock::time_point deadline = Clock::now() + timeout;
  Child child = Spawn(arguments, false);
  DevhostResult result;
  std::string out;
  if (!ReadUntilClosed(child, deadline, out, result.stderr_text)) {
    kill(child.pid, SIGKILL);
    result.timed_out = true;
    ReadUntilClosed(child, Clock::now() + std::chrono::seconds(2), out, result.stderr_text);
  }
  ClosePipe(child.output);
  ClosePipe(child.errors);
  bool killed = false;
  result.exit_code = Reap(child.pid, Clock::now() + std::chrono::seconds(5), killed);
  result.timed_out = result.timed_out || killed;
  result.lines = SplitLines(out);
  result.log_lines = LogLinesAfter(log_offset);
  return result;
}

struct DevhostProcess::State {
  Child child;
  std::uintmax_t log_offset = 0;
  std::thread reader;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> lines;  // every whole stdout line so far
  std::string err;
  bool closed = false;
  bool exited = false;  // reaped: its pid is no longer this process's
  bool stopped = false;
  DevhostResult result;
};

std::unique_ptr<DevhostProcess> DevhostRunner::Start(
    const std::string& script, const std::string& rcon_password, std::chrono::milliseconds timeout,
    const std::vector<std::string>& extra_args) const {
  auto state = std::make_unique<DevhostProcess::State>();
  state->log_offset = LogSize();
  std::vector<std::string> options;
  if (!rcon_password.empty()) options = {"--rcon-port", "0", "--rcon-password", rcon_password};
  options.insert(options.end(), extra_args.begin(), extra_args.end());
  state->child = Spawn(Arguments(options), true);
  DevhostProcess::State* shared = state.get();
  // The reader thread owns both output pipes from here on.
  Child pipes{state->child.pid, -1, std::exchange(state->child.output, -1),
              std::exchange(state->child.errors, -1)};
  state->reader = std::thread([shared, pipes]() mutable {
    std::string partial;  // a line not ended yet
    std::string unused;
    std::string err;
    ReadUntilClosed(pipes, Clock::time_point::max(), unused, err, [&](std::string_view chunk) {
      partial.append(chunk);
      const std::size_t whole_end = partial.rfind('\n') + 1;  // 0 when no line has ended
      std::vector<std::string> whole = SplitLines(partial.substr(0, whole_end));
      partial.erase(0, whole_end);
      const std::lock_guard<std::mutex> guard(shared->lock);
      std::move(whole.begin(), whole.end(), std::back_inserter(shared->lines));
      shared->changed.notify_all();
    });
    const std::lock_guard<std::mutex> guard(shared->lock);
    if (!partial.empty()) shared->lines.push_back(partial);
    shared->err = err;
    shared->closed = true;
    shared->changed.notify_all();
  });
  std::unique_ptr<DevhostProcess> process(new DevhostProcess(*this, std::move(state)));
  process->Send(script);
  if (rcon_password.empty()) return process;
  const std::optional<std::string> listening = process->WaitForLine("rcon-listen ", 1, timeout);
  if (!listening) return nullptr;
  process->rcon_port_ = Field(*listening, "port").value_or(0).get<int>();
  return process;
}

DevhostProcess::DevhostProcess(const DevhostRunner& runner, std::unique_ptr<State> state)
    : runner_(runner), state_(std::move(state)) {}

DevhostProcess::~DevhostProcess() { Stop(); }

int DevhostProcess::Pid() const { return state_->child.pid; }

std::size_t DevhostProcess::Offer(const std::string& bytes, std::chrono::milliseconds patience) {
  const int fd = state_->child.input;
  if (fd < 0) return 0;
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = write(fd, bytes.data() + written, bytes.size() - written);
    if (count > 0) {
      written += std::size_t(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN) break;
    pollfd polled{fd, POLLOUT, 0};
    if (poll(&polled, 1, int(patience.count())) <= 0) break;  // the pipe stayed full
  }
  fcntl(fd, F_SETFL, flags);
  return written;
}

void DevhostProcess::Send(const std::string& lines) {
  std::size_t written = 0;
  while (state_->child.input >= 0 && written < lines.size()) {
    const ssize_t count =
        write(state_->child.input, lines.data() + written, lines.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    written += std::size_t(count);
  }
}

std::optional<std::string> DevhostProcess::WaitForLine(std::string_view prefix,
                                                       std::size_t occurrence,
                                                       std::chrono::milliseconds timeout) {
  std::optional<std::string> found;
  std::size_t scanned = 0;  // each line is looked at once, however often the output grows
  std::size_t seen = 0;
  std::unique_lock<std::mutex> lock(state_->lock);
  state_->changed.wait_for(lock, timeout, [&] {
    for (; scanned < state_->lines.size(); ++scanned) {
      const std::string& line = state_->lines[scanned];
      if (StartsWith(line, prefix) && ++seen == occurrence) {
        found = line;
        return true;
      }
    }
    return state_->closed;
  });
  return found;
}

std::size_t DevhostProcess::Count(std::string_view prefix, std::string_view containing) const {
  const std::lock_guard<std::mutex> guard(state_->lock);
  return CountLines(state_->lines, prefix, containing);
}

void DevhostProcess::CloseInput() { ClosePipe(state_->child.input); }

bool DevhostProcess::WaitForExit(std::chrono::milliseconds timeout) {
  State& state = *state_;
  if (!state.exited)
    state.exited = AwaitExit(state.child.pid, Clock::now() + timeout, state.result.exit_code);
  return state.exited;
}

DevhostResult DevhostProcess::Stop(std::chrono::milliseconds timeout) {
  State& state = *state_;
  if (state.stopped) return state.result;
  state.stopped = true;
  // SIGTERM ends the run at once; the marker shows that every line sent before was run.
  Send(std::string("echo ") + kStopMarker + "\n");
  WaitForLine(std::string("echo \"") + kStopMarker, 1, timeout);
  ClosePipe(state.child.input);
  if (!state.exited) {
    kill(state.child.pid, SIGTERM);
    bool killed = false;
    state.result.exit_code = Reap(state.child.pid, Clock::now() + timeout, killed);
    state.result.timed_out = killed;
    state.exited = true;
  }
  state.reader.join();
  for (std::string& line : state.lines)
    if (line.find(kStopMarker) == std::string::npos) state.result.lines.push_back(std::move(line));
  state.result.stderr_text = state.err;
  state.result.log_lines = runner_.LogLinesAfter(state.log_offset);
  return state.result;
}

}  // namespace veltrane::test
