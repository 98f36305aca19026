#include "Configuration/RegularFile.h"

#ifdef _WIN32
#include "host/WindowsApi.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>
#include <utility>

namespace {

// Reads until the end, or until one byte more than allowed, so that a file that grew since it
// was measured is still refused. read_some(buffer, size) answers the bytes it read, 0 at the end
// of the file, or a negative number on an error.
template <typename ReadSome>
RegularFileContent ReadUpTo(std::size_t max_bytes, ReadSome read_some) {
  std::string content(max_bytes + 1, '\0');
  std::size_t used = 0;
  while (used < content.size()) {
    const long long got = read_some(content.data() + used, content.size() - used);
    if (got == 0) break;
    if (got < 0) return {FileRead::ReadFailed, {}};
    used += static_cast<std::size_t>(got);
  }
  if (used > max_bytes) return {FileRead::TooLarge, {}};
  content.resize(used);
  return {FileRead::Read, std::move(content)};
}

#ifdef _WIN32

// Closes the handle on every path out of the reading.
struct OpenedFile {
  HANDLE handle;
  ~OpenedFile() { CloseHandle(handle); }
};

// Empty for a path that is not valid UTF-8, which names no file.
std::wstring WidePath(const std::string& utf8_path) {
  const int size = static_cast<int>(std::min<std::size_t>(utf8_path.size(), INT_MAX));
  const int units =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8_path.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8_path.data(), size, wide.data(), units);
  return wide;
}

// What failed, with the system's error code.
std::string Failure(const char* step) {
  return std::string(step) + ": error " + std::to_string(GetLastError());
}

#else

// What failed, with the system's reason.
std::string Failure(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

// Closes the descriptor on every path out of the reading.
struct OpenedFile {
  int descriptor;
  ~OpenedFile() { ::close(descriptor); }
};

#endif

}  // namespace

#ifdef _WIN32

RegularFileContent ReadRegularFile(const std::string& utf8_path, std::size_t max_bytes) {
  const std::wstring path = WidePath(utf8_path);
  if (path.empty()) return {FileRead::CannotOpen, {}};
  // Backup semantics open a directory too, so that it is refused as no regular file, as on Linux.
  // A named pipe opens without waiting: busy, it fails; free, it connects and is refused below.
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {FileRead::CannotOpen, {}};
  const OpenedFile file{handle};
  if (GetFileType(file.handle) != FILE_TYPE_DISK) return {FileRead::NotRegularFile, {}};
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(file.handle, &information)) return {FileRead::CannotOpen, {}};
  if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    return {FileRead::NotRegularFile, {}};
  const std::uint64_t size =
      (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  if (size > max_bytes) return {FileRead::TooLarge, {}};

  // ReadFile translates nothing: the bytes are the file's.
  return ReadUpTo(max_bytes, [&](char* buffer, std::size_t wanted) -> long long {
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wanted, MAXDWORD));
    return ReadFile(file.handle, buffer, chunk, &got, nullptr) ? got : -1;
  });
}

#else

RegularFileContent ReadRegularFile(const std::string& utf8_path, std::size_t max_bytes) {
  // Without O_NONBLOCK a FIFO in the file's place would hold the caller until a writer came.
  const int descriptor = ::open(utf8_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return {FileRead::CannotOpen, {}};
  const OpenedFile file{descriptor};
  struct stat status = {};
  if (::fstat(file.descriptor, &status) != 0) return {FileRead::CannotOpen, {}};
  if (!S_ISREG(status.st_mode)) return {FileRead::NotRegularFile, {}};
  if (static_cast<std::uintmax_t>(status.st_size) > max_bytes) return {FileRead::TooLarge, {}};

  return ReadUpTo(max_bytes, [&](char* buffer, std::size_t wanted) -> long long {
    while (true) {
      const ssize_t got = ::read(file.descriptor, buffer, wanted);
      if (got >= 0 || errno != EINTR) return got;
    }
  });
}

#endif

#ifdef _WIN32

std::optional<std::string> ReplaceRegularFile(const std::string& utf8_path,
                                              std::string_view bytes) {
  const std::wstring path = WidePath(utf8_path);
  if (path.empty()) return "not a UTF-8 path";
  const std::wstring temporary = path + L".tmp";
  const HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Failure("cannot create the temporary file");
  std::optional<std::string> failure;
  {
    const OpenedFile file{handle};
    while (!bytes.empty() && !failure) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
      if (!WriteFile(file.handle, bytes.data(), chunk, &written, nullptr) || written == 0)
        failure = Failure("cannot write the temporary file");
      bytes.remove_prefix(written);
    }
    if (!failure && !FlushFileBuffers(file.handle))
      failure = Failure("cannot flush the temporary file");
  }
  if (!failure && !MoveFileExW(temporary.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    failure = Failure("cannot rename the temporary file");
  if (failure) DeleteFileW(temporary.c_str());
  return failure;
}

std::optional<std::string> RemoveRegularFile(const std::string& utf8_path) {
  const std::wstring path = WidePath(utf8_path);
  if (path.empty()) return "not a UTF-8 path";
  if (DeleteFileW(path.c_str())) return std::nullopt;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
  return Failure("cannot remove the file");
}

#else

std::optional<std::string> ReplaceRegularFile(const std::string& utf8_path,
                                              std::string_view bytes) {
  const std::string temporary = utf8_path + ".tmp";
  const int descriptor =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (descriptor < 0) return Failure("cannot create the temporary file");
  std::optional<std::string> failure;
  {
    const OpenedFile file{descriptor};
    while (!bytes.empty() && !failure) {
      const ssize_t written = ::write(file.descriptor, bytes.data(), bytes.size());
      if (written > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(written));
      } else if (written == 0 || errno != EINTR) {
        failure = Failure("cannot write the temporary file");
      }
    }
    // Without it a power cut may leave the renamed file empty on some file systems.
    if (!failure && ::fsync(file.descriptor) != 0)
      failure = Failure("cannot flush the temporary file");
  }
  if (!failure && std::rename(temporary.c_str(), utf8_path.c_str()) != 0)
    failure = Failure("cannot rename the temporary file");
  if (failure) ::unlink(temporary.c_str());
  return failure;
}

std::optional<std::string> RemoveRegularFile(const std::string& utf8_path) {
  if (::unlink(utf8_path.c_str()) == 0 || errno == ENOENT) return std::nullopt;
  return Failure("cannot remove the file");
}

#endif
