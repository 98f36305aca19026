#pragma once
// The development host prints a line for each thing it does for the plugin (a notification, a
// logout). In the benchmark those lines go to a file in memory, which costs one cheap write per
// line and lets a benchmark count the replies it caused; the harness's own report keeps the
// terminal.

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace veltrane::bench {

class HostOutput {
 public:
  // Sends standard output to memory from now on.
  HostOutput();
  ~HostOutput();
  HostOutput(const HostOutput&) = delete;
  HostOutput& operator=(const HostOutput&) = delete;

  // Where standard output went before.
  std::ostream& Report() { return *report_; }

  // Forgets what the host printed so far.
  void Clear();
  // What the host printed since the last Clear.
  std::string Text() const;
  // Lines printed since the last Clear that contain fragment.
  std::size_t CountLines(std::string_view fragment) const;

 private:
  struct ReportStream;

  int saved_stdout_ = -1;
  std::unique_ptr<ReportStream> report_stream_;
  std::ostream* report_ = nullptr;
};

}  // namespace veltrane::bench
