// AsaApi::Tools::Utf8Encode and Utf8Decode. Malformed input is replaced by U+FFFD, one per maximal
// ill-formed subpart, as the Unicode standard recommends.

#include <cstdint>

#include "host/Tools.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<char16_t>(code_point));
  } else {
    code_point -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
  }
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// How a lead byte continues: the sequence's length and the range its second byte must lie in,
// which is what excludes overlong forms, encoded surrogates and values above U+10FFFF.
struct LeadByte {
  int length = 0;  // 0: not a lead byte
  std::uint8_t second_low = 0x80;
  std::uint8_t second_high = 0xBF;
};

LeadByte Classify(std::uint8_t byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {};
}

}  // namespace

namespace AsaApi::Tools {

std::string Utf8Encode(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::u16string Utf8Decode(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    const LeadByte kind = Classify(lead);
    if (kind.length == 0) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    char32_t code_point = lead & (0x7F >> kind.length);
    int taken = 1;
    while (taken < kind.length && i + taken < text.size()) {
      const auto next = static_cast<std::uint8_t>(text[i + taken]);
      const std::uint8_t low = taken == 1 ? kind.second_low : 0x80;
      const std::uint8_t high = taken == 1 ? kind.second_high : 0xBF;
      if (next < low || next > high) break;
      code_point = (code_point << 6) | (next & 0x3F);
      ++taken;
    }
    AppendUtf16(out, taken == kind.length ? code_point : kReplacement);
    i += std::size_t(taken);
  }
  return out;
}

}  // namespace AsaApi::Tools
