#include "support/StoppedProcess.h"

#include <fmt/format.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "support/WaitUntil.h"

namespace veltrane::test {

namespace {

// The state letter of /proc/PID/task/TID/stat; it follows the name, which may hold ") ".
char ThreadState(const std::filesystem::path& task) {
  std::ifstream stat(task / "stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos || name_end + 2 >= line.size()) return 'X';  // gone meanwhile
  return line[name_end + 2];
}

bool EveryThreadStopped(pid_t pid) {
  std::error_code error;
  std::filesystem::directory_iterator tasks(fmt::format("/proc/{}/task", pid), error);
  if (error) throw std::runtime_error(fmt::format("process {} is gone", pid));
  for (const auto& task : tasks) {
    const char state = ThreadState(task.path());
    if (state != 'T' && state != 't' && state != 'Z' && state != 'X') return false;
  }
  return true;
}

}  // namespace

void StopEveryThread(pid_t pid, std::chrono::milliseconds timeout) {
  if (::kill(pid, SIGSTOP) != 0)
    throw std::runtime_error(fmt::format("cannot stop process {}: errno {}", pid, errno));
  if (!WaitUntil(timeout, [pid] { return EveryThreadStopped(pid); }, std::chrono::milliseconds(1)))
    throw std::runtime_error(fmt::format("process {} did not stop within {} ms", pid,
                                         timeout.count()));
}

}  // namespace veltrane::test
