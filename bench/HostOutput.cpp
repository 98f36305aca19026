#include "HostOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ext/stdio_filebuf.h>
#include <fstream>
#include <stdexcept>
#include <string>

namespace veltrane::bench {

struct HostOutput::ReportStream {
  explicit ReportStream(int fd) : buffer(fd, std::ios::out), stream(&buffer) {}
  __gnu_cxx::stdio_filebuf<char> buffer;
  std::ostream stream;
};

HostOutput::HostOutput(const std::filesystem::path& file) : file_(file) {
  std::fflush(stdout);
  saved_stdout_ = dup(STDOUT_FILENO);
  // Appending, so that truncating the file in Clear needs no seek.
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (saved_stdout_ < 0 || fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
    throw std::runtime_error("cannot send standard output to " + file.string());
  }
  close(fd);
  report_stream_ = std::make_unique<ReportStream>(saved_stdout_);
  report_ = &report_stream_->stream;
}

HostOutput::~HostOutput() {
  report_->flush();
  std::fflush(stdout);
  dup2(saved_stdout_, STDOUT_FILENO);
  report_stream_.reset();  // closes saved_stdout_
}

void HostOutput::Clear() {
  std::fflush(stdout);
  if (ftruncate(STDOUT_FILENO, 0) != 0) throw std::runtime_error("cannot clear the host output");
}

std::size_t HostOutput::CountLines(std::string_view fragment) const {
  std::fflush(stdout);
  std::ifstream in(file_);
  std::size_t count = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find(fragment) != std::string::npos) ++count;
  }
  return count;
}

}  // namespace veltrane::bench
