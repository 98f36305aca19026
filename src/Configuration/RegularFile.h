#pragma once
// Reading a whole file that must be a regular file of bounded size, on Linux and on Windows.

#include <cstddef>
#include <string>

enum class FileRead { Read, CannotOpen, NotRegularFile, TooLarge, ReadFailed };

struct RegularFileContent {
  FileRead outcome = FileRead::CannotOpen;
  std::string bytes;  // the whole file when outcome is Read
};

// The file at a UTF-8 path, byte for byte (no line-ending translation), when it is a regular file
// of at most max_bytes. Anything else (a directory, a FIFO, a pipe, a device) is refused unread,
// and opening never waits for a writer. A file that grew past max_bytes while it was read is
// TooLarge.
RegularFileContent ReadRegularFile(const std::string& utf8_path, std::size_t max_bytes);
