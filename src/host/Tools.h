#pragma once
// Plain utilities of the host API.

#include <string>
#include <string_view>

namespace AsaApi::Tools {

// The server's working directory, without a trailing separator.
std::string GetCurrentDir();
// True while the host has the named plugin loaded.
bool IsPluginLoaded(const std::string& plugin_name);
// UTF-16 to UTF-8. Surrogate pairs become one four-byte sequence; a lone surrogate becomes U+FFFD.
std::string Utf8Encode(std::u16string_view text);
// UTF-8 to UTF-16. Malformed or truncated sequences become U+FFFD; nothing is read past the end.
std::u16string Utf8Decode(std::string_view text);

}  // namespace AsaApi::Tools
