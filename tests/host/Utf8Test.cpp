#include <gtest/gtest.h>

#include <memory>

#include "host/Tools.h"

namespace {

using AsaApi::Tools::Utf8Decode;
using AsaApi::Tools::Utf8Encode;

class Utf8Test : public ::testing::Test {
 protected:
  // Decodes from a heap block of exactly the text's size, so that a read past the end is caught
  // by the address sanitizer.
  static std::u16string DecodeExact(std::string_view text) {
    const std::unique_ptr<char[]> block(new char[text.size()]);
    std::copy(text.begin(), text.end(), block.get());
    return Utf8Decode(std::string_view(block.get(), text.size()));
  }
};

TEST_F(Utf8Test, SurrogatePairsBecomeOneFourByteSequence) {
  EXPECT_EQ(Utf8Encode(u"a\U0001F600b"),
            "a\xF0\x9F\x98\x80"
            "b");
  EXPECT_EQ(Utf8Encode(u"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(DecodeExact("\xF0\x9F\x98\x80"), u"\U0001F600");
}

TEST_F(Utf8Test, EveryLengthRoundTrips) {
  const std::u16string text = u"A\u00E9\u0800\uFFFD\U00010000\u4E2D";
  EXPECT_EQ(Utf8Decode(Utf8Encode(text)), text);
  EXPECT_EQ(Utf8Encode(u"\u00E9\u20AC"), "\xC3\xA9\xE2\x82\xAC");
}

TEST_F(Utf8Test, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf8Encode(std::u16string_view(u"a\xD800", 2)), "a\xEF\xBF\xBD");
  EXPECT_EQ(Utf8Encode(std::u16string_view(u"\xDC00"
                                           "b",
                                           2)),
            "\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf8Encode(std::u16string_view(u"\xD800\xD800\xDC00", 3)),
            "\xEF\xBF\xBD\xF0\x90\x80\x80");
}

TEST_F(Utf8Test, MalformedSequencesBecomeOneReplacementPerBadPart) {
  EXPECT_EQ(DecodeExact("\xC0\x80"), u"\uFFFD\uFFFD");                      // overlong
  EXPECT_EQ(DecodeExact("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(DecodeExact("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // an encoded surrogate
  EXPECT_EQ(DecodeExact("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(DecodeExact("a\x80z"), u"a\uFFFDz");                            // stray continuation
  EXPECT_EQ(DecodeExact("\xFF\xFE"), u"\uFFFD\uFFFD");
  EXPECT_EQ(DecodeExact("\xE2\x82x"), u"\uFFFDx");  // cut short by a plain byte
}

TEST_F(Utf8Test, TruncatedSequenceAtTheEndIsOneReplacement) {
  EXPECT_EQ(DecodeExact("ok\xE2\x82"), u"ok\uFFFD");
  EXPECT_EQ(DecodeExact("\xF0\x9F\x98"), u"\uFFFD");
  EXPECT_EQ(DecodeExact("\xC3"), u"\uFFFD");
  EXPECT_EQ(DecodeExact(""), u"");
}

TEST_F(Utf8Test, EmbeddedZeroBytesAreKept) {
  EXPECT_EQ(DecodeExact(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
}

}  // namespace
