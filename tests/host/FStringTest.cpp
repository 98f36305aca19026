#include <gtest/gtest.h>

#include <climits>

#include "host/FString.h"

namespace {

class FStringTest : public ::testing::Test {
 protected:
  static std::vector<std::u16string> Split(const FString& text, const TCHAR* delimiter, bool cull) {
    TArray<FString> parts;
    const int count = text.ParseIntoArray(parts, delimiter, cull);
    std::vector<std::u16string> out;
    for (const FString& part : parts) out.push_back(part.ToWide());
    EXPECT_EQ(count, int(out.size()));
    return out;
  }
};

TEST_F(FStringTest, EmptyStringHoldsNoArrayAndReadsAsEmptyText) {
  const FString empty;
  const FString from_empty_literal(u"");
  const FString from_null(static_cast<const TCHAR*>(nullptr));
  for (const FString* text : {&empty, &from_empty_literal, &from_null}) {
    EXPECT_EQ(text->Len(), 0);
    EXPECT_TRUE(text->IsEmpty());
    EXPECT_EQ(std::u16string(**text), u"");
  }
}

TEST_F(FStringTest, NarrowTextIsReadAsUtf8) {
  EXPECT_EQ(FString("Zo\xC3\xAB \xF0\x9F\x98\x80").ToWide(), u"Zo\u00EB \U0001F600");
  EXPECT_EQ(FString(std::string("abc")).ToWide(), u"abc");
  EXPECT_EQ(FString(u"wide").Len(), 4);
}

TEST_F(FStringTest, CopiesAndMovesKeepTheText) {
  FString original(u"player");
  FString copy(original);
  FString moved(std::move(original));
  EXPECT_EQ(copy, moved);
  EXPECT_TRUE(original.IsEmpty());  // NOLINT(bugprone-use-after-move): a moved-from string is empty
}

TEST_F(FStringTest, AssigningAndAppendingPartsOfItselfWork) {
  FString text(u"abcdef");
  text.AppendChars(*text + 1, 3);
  EXPECT_EQ(text.ToWide(), u"abcdefbcd");
  text.AssignRange(*text + 2, 4);
  EXPECT_EQ(text.ToWide(), u"cdef");
  text.AssignRange(u"x", 0);
  EXPECT_TRUE(text.IsEmpty());
}

TEST_F(FStringTest, ParseIntoArrayTreatsRunsOfSpacesAsOneSeparator) {
  EXPECT_EQ(Split(FString(u"  /link   ABC12  extra "), u" ", true),
            (std::vector<std::u16string>{u"/link", u"ABC12", u"extra"}));
  EXPECT_EQ(Split(FString(u"a  b"), u" ", false), (std::vector<std::u16string>{u"a", u"", u"b"}));
  EXPECT_EQ(Split(FString(u"a\tb"), u" ", true), (std::vector<std::u16string>{u"a\tb"}));
  EXPECT_TRUE(Split(FString(u"    "), u" ", true).empty());
  EXPECT_EQ(Split(FString(u"a::b"), u"::", true), (std::vector<std::u16string>{u"a", u"b"}));
}

TEST_F(FStringTest, ToStringWritesQuestionMarksAboveAscii) {
  EXPECT_EQ(FString(u"ab\u007F\u0080\u00E9\u4E2D").ToString(), "ab\x7F???");
  EXPECT_EQ(FString(u"\U0001F600").ToString(), "??");  // one per UTF-16 unit
  EXPECT_EQ(FString().ToString(), "");
}

TEST_F(FStringTest, ReplaceIgnoresAsciiCaseOnly) {
  EXPECT_EQ(FString(u"{eos} and {EOS} and {Eos}").Replace(u"{EOS}", u"X").ToWide(),
            u"X and X and X");
  EXPECT_EQ(FString(u"\u00E9").Replace(u"\u00C9", u"e").ToWide(), u"\u00E9");
  EXPECT_EQ(FString(u"aAa").Replace(u"a", u"b", ESearchCase::CaseSensitive).ToWide(), u"bAb");
}

TEST_F(FStringTest, ReplaceDoesNotRescanInsertedText) {
  EXPECT_EQ(FString(u"{A}{A}").Replace(u"{A}", u"{A}{A}").ToWide(), u"{A}{A}{A}{A}");
  EXPECT_EQ(FString(u"aaa").Replace(u"aa", u"a").ToWide(), u"aa");
  EXPECT_EQ(FString(u"xyz").Replace(u"xyz", u"").ToWide(), u"");
  EXPECT_EQ(FString(u"xyz").Replace(u"", u"q").ToWide(), u"xyz");
  EXPECT_TRUE(FString().Replace(u"a", u"b").IsEmpty());
}

TEST_F(FStringTest, FromIntWritesPlainDecimal) {
  EXPECT_EQ(FString::FromInt(0).ToWide(), u"0");
  EXPECT_EQ(FString::FromInt(-42).ToWide(), u"-42");
  EXPECT_EQ(FString::FromInt(INT_MAX).ToWide(), u"2147483647");
  EXPECT_EQ(FString::FromInt(INT_MIN).ToWide(), u"-2147483648");
}

TEST_F(FStringTest, FormatTurnsDoubledBracesIntoBraces) {
  EXPECT_EQ(FString::Format(u"{{code}} \u00E9").ToWide(), u"{code} \u00E9");
  EXPECT_EQ(FString::Format(u"no braces").ToWide(), u"no braces");
  EXPECT_TRUE(FString::Format(u"").IsEmpty());
}

TEST_F(FStringTest, FormatRejectsEveryOtherBrace) {
  for (const TCHAR* text : {u"{}", u"{CharacterName}", u"{", u"}", u"a }} }", u"{0}"})
    EXPECT_THROW(FString::Format(text), fmt::format_error) << std::string(FString(text).ToString());
}

}  // namespace
