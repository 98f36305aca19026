#pragma once
// FString, the host's text: UTF-16 code units in a growable array that counts its closing zero
// unit (an empty string holds no array at all). The storage comes from the game's allocator, so
// that strings can change hands between the plugin and the game.

#include <fmt/xchar.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/GameAddress.h"
#include "host/Tools.h"

// The unit of the host's text, on every platform. Windows has a TCHAR of its own (char or
// wchar_t), so these headers name the unit UTF16CHAR; TCHAR means it where the platform has none.
using UTF16CHAR = char16_t;
#ifndef _WIN32
using TCHAR = UTF16CHAR;
#endif

template <typename Element>
using TArray = std::vector<Element>;

namespace FMemory {

// The allocator does not move while the game runs: each entry is looked up once.
inline void* Malloc(std::uint64_t count, unsigned int alignment = 0) {
  static const auto malloc_entry = reinterpret_cast<void* (*)(std::uint64_t, unsigned int)>(
      AsaApi::RequireAddress("FMemory.Malloc(unsigned__int64,unsignedint)"));
  void* memory = malloc_entry(count, alignment);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

inline void* Realloc(void* original, std::uint64_t count, unsigned int alignment = 0) {
  static const auto realloc_entry = reinterpret_cast<void* (*)(void*, std::uint64_t, unsigned int)>(
      AsaApi::RequireAddress("FMemory.Realloc(void*,unsigned__int64,unsignedint)"));
  void* memory = realloc_entry(original, count, alignment);
  if (memory == nullptr && count != 0) throw std::bad_alloc();
  return memory;
}

inline void Free(void* original) {
  if (original == nullptr) return;
  static const auto free_entry =
      reinterpret_cast<void (*)(void*)>(AsaApi::RequireAddress("FMemory.Free(void*)"));
  free_entry(original);
}

}  // namespace FMemory

namespace ESearchCase {
enum Type { CaseSensitive, IgnoreCase };
}

struct FGenericPlatformStricmp {
  static UTF16CHAR ToUpperAscii(UTF16CHAR c) {
    return (c >= u'a' && c <= u'z') ? UTF16CHAR(c - 32) : c;
  }

  // Compares up to count units, ASCII letters without regard to case; stops at a zero unit.
  static int Strnicmp(const UTF16CHAR* a, const UTF16CHAR* b, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const UTF16CHAR x = ToUpperAscii(a[i]);
      const UTF16CHAR y = ToUpperAscii(b[i]);
      if (x != y) return x < y ? -1 : 1;
      if (x == 0) return 0;
    }
    return 0;
  }
};

class FString {
 public:
  FString() = default;
  FString(const UTF16CHAR* text) {
    AssignRange(text, text ? int(std::char_traits<UTF16CHAR>::length(text)) : 0);
  }
  FString(std::u16string_view text) { AssignRange(text.data(), int(text.size())); }
  FString(const std::u16string& text) { AssignRange(text.data(), int(text.size())); }
  // Narrow text is taken as UTF-8.
  FString(const char* text) {
    if (text != nullptr) *this = FString(AsaApi::Tools::Utf8Decode(text));
  }
  explicit FString(const std::string& text) : FString(AsaApi::Tools::Utf8Decode(text)) {}

  FString(const FString& other) { AssignRange(other.Data, other.Len()); }
  FString(FString&& other) noexcept
      : Data(std::exchange(other.Data, nullptr)),
        ArrayNum(std::exchange(other.ArrayNum, 0)),
        ArrayMax(std::exchange(other.ArrayMax, 0)) {}
  FString& operator=(const FString& other) {
    if (this != &other) AssignRange(other.Data, other.Len());
    return *this;
  }
  FString& operator=(FString&& other) noexcept {
    if (this != &other) {
      FMemory::Free(Data);
      Data = std::exchange(other.Data, nullptr);
      ArrayNum = std::exchange(other.ArrayNum, 0);
      ArrayMax = std::exchange(other.ArrayMax, 0);
    }
    return *this;
  }
  ~FString() { FMemory::Free(Data); }

  // The text with its closing zero; "" when empty.
  const UTF16CHAR* operator*() const { return ArrayNum ? Data : u""; }
  int Len() const { return ArrayNum ? ArrayNum - 1 : 0; }
  bool IsEmpty() const { return Len() == 0; }
  std::u16string_view View() const { return {operator*(), std::size_t(Len())}; }
  std::u16string ToWide() const { return std::u16string(View()); }

  bool operator==(const FString& other) const { return View() == other.View(); }

  // Replaces the content with count units of text.
  void AssignRange(const UTF16CHAR* text, int count) {
    if (count <= 0 || text == nullptr) {
      Reset();
      return;
    }
    if (text >= Data && text < Data + ArrayMax) {  // assigning a part of ourselves
      FString copy(std::u16string_view(text, std::size_t(count)));
      *this = std::move(copy);
      return;
    }
    Reserve(count + 1);
    std::memcpy(Data, text, sizeof(UTF16CHAR) * std::size_t(count));
    Data[count] = 0;
    ArrayNum = count + 1;
  }

  // Appends count units of text.
  void AppendChars(const UTF16CHAR* text, int count) {
    if (count <= 0 || text == nullptr) return;
    if (text >= Data && text < Data + ArrayMax) {
      const std::u16string copy(text, std::size_t(count));
      AppendChars(copy.data(), count);
      return;
    }
    const int length = Len();
    Reserve(length + count + 1);
    std::memcpy(Data + length, text, sizeof(UTF16CHAR) * std::size_t(count));
    Data[length + count] = 0;
    ArrayNum = length + count + 1;
  }

  FString& operator+=(const FString& other) {
    AppendChars(*other, other.Len());
    return *this;
  }

  // One byte per unit; every unit above 127 becomes '?'.
  std::string ToString() const {
    std::string out;
    out.reserve(std::size_t(Len()));
    for (UTF16CHAR unit : View()) out.push_back(unit > 127 ? '?' : char(unit));
    return out;
  }

  // Splits at every occurrence of delimiter; answers the number of parts.
  int ParseIntoArray(TArray<FString>& parts, const UTF16CHAR* delimiter,
                     bool cull_empty = true) const {
    parts.clear();
    const std::u16string_view text = View();
    const std::u16string_view delim = delimiter ? delimiter : u"";
    if (delim.empty()) {
      if (!text.empty() || !cull_empty) parts.emplace_back(text);
      return int(parts.size());
    }
    std::size_t start = 0;
    while (true) {
      const std::size_t found = text.find(delim, start);
      const std::size_t end = found == std::u16string_view::npos ? text.size() : found;
      if (end > start || !cull_empty) parts.emplace_back(text.substr(start, end - start));
      if (found == std::u16string_view::npos) break;
      start = found + delim.size();
    }
    return int(parts.size());
  }

  // Replaces every occurrence of from, scanning left to right; inserted text is not rescanned.
  FString Replace(const UTF16CHAR* from, const UTF16CHAR* to,
                  ESearchCase::Type search_case = ESearchCase::IgnoreCase) const {
    const std::size_t from_length = from ? std::char_traits<UTF16CHAR>::length(from) : 0;
    if (IsEmpty() || from_length == 0) return *this;
    const std::u16string_view text = View();
    const std::u16string_view replacement = to ? to : u"";
    FString result;
    std::size_t copied = 0;
    std::size_t position = 0;
    while (position + from_length <= text.size()) {
      if (Matches(text.data() + position, from, from_length, search_case)) {
        result.AppendChars(text.data() + copied, int(position - copied));
        result.AppendChars(replacement.data(), int(replacement.size()));
        position += from_length;
        copied = position;
      } else {
        ++position;
      }
    }
    result.AppendChars(text.data() + copied, int(text.size() - copied));
    return result;
  }

  // Decimal text, with a leading '-' when negative.
  static FString FromInt(int value) {
    const std::string digits = std::to_string(value);
    return FString(std::u16string(digits.begin(), digits.end()));
  }

  // The message formatter: the text as a format string with no arguments. "{{" and "}}" give
  // single braces; any other brace throws fmt::format_error with the formatter's own text.
  static FString Format(const UTF16CHAR* format) {
    const std::u16string_view pattern = format ? format : u"";
    return FString(fmt::vformat(fmt::basic_string_view<UTF16CHAR>(pattern.data(), pattern.size()),
                                fmt::basic_format_args<fmt::buffer_context<UTF16CHAR>>{}));
  }

 private:
  static bool Matches(const UTF16CHAR* at, const UTF16CHAR* what, std::size_t length,
                      ESearchCase::Type search_case) {
    if (search_case == ESearchCase::CaseSensitive)
      return std::char_traits<UTF16CHAR>::compare(at, what, length) == 0;
    return FGenericPlatformStricmp::ToUpperAscii(at[0]) ==
               FGenericPlatformStricmp::ToUpperAscii(what[0]) &&
           FGenericPlatformStricmp::Strnicmp(at + 1, what + 1, length - 1) == 0;
  }

  void Reserve(int units) {
    if (units <= ArrayMax) return;
    const int capacity = std::max(units, ArrayMax + ArrayMax / 2);
    Data = static_cast<UTF16CHAR*>(
        FMemory::Realloc(Data, sizeof(UTF16CHAR) * std::uint64_t(capacity)));
    ArrayMax = capacity;
  }

  void Reset() {
    FMemory::Free(Data);
    Data = nullptr;
    ArrayNum = 0;
    ArrayMax = 0;
  }

  UTF16CHAR* Data = nullptr;
  int ArrayNum = 0;  // units in use, closing zero included; 0 when empty
  int ArrayMax = 0;
};
