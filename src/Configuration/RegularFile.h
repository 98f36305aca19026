#pragma once
// Reading a whole file that must be a regular file of bounded size, and writing one whole or not
// at all, on Linux and on Windows.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

// Gives the file at a UTF-8 path exactly bytes, whole or not at all: they go to a temporary file
// beside it (the path with ".tmp" appended), flushed to the disk, which then takes the file's
// place in one rename, so that a reader, or a load after a crash or a power cut, finds the old
// file or the new one, never a part. Nothing when it did; otherwise what failed, without the path.
std::optional<std::string> ReplaceRegularFile(const std::string& utf8_path, std::string_view bytes);

// Removes the file at a UTF-8 path; a file that is not there is no failure. Nothing when it is
// gone; otherwise what failed, without the path.
std::optional<std::string> RemoveRegularFile(const std::string& utf8_path);
