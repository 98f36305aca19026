#include "HostOutput.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <ext/stdio_filebuf.h>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltrane::bench {

struct HostOutput::ReportStream {
  explicit ReportStream(int fd) : buffer(fd, std::ios::out), stream(&buffer) {}
  __gnu_cxx::stdio_filebuf<char> buffer;
  std::ostream stream;
};

HostOutput::HostOutput() {
  std::fflush(stdout);
  saved_stdout_ = dup(STDOUT_FILENO);
  // A file in memory: a reply line costs the host one write without a file system behind it.
  const int fd = memfd_create("veltrane-bench-host-output", MFD_CLOEXEC);
  if (saved_stdout_ < 0 || fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
    throw std::runtime_error("cannot send standard output to memory");
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
  if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
    throw std::runtime_error("cannot clear the host output");
}

std::string HostOutput::Text() const {
  std::fflush(stdout);
  std::string text;
  char chunk[65536];
  for (off_t offset = 0;;) {
    const ssize_t count = pread(STDOUT_FILENO, chunk, sizeof chunk, offset);
    if (count <= 0) break;
    text.append(chunk, std::size_t(count));
    offset += count;
  }
  return text;
}

std::size_t HostOutput::CountLines(std::string_view fragment) const {
  const std::string text = Text();
  std::size_t lines = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (std::string_view(text).substr(start, end - start).find(fragment) != std::string_view::npos)
      ++lines;
    start = end + 1;
  }
  return lines;
}

}  // namespace veltrane::bench
