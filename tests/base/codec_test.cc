#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bootstrap/base/base64.h"
#include "bootstrap/base/utf8.h"

namespace bootstrap::base {
namespace {

TEST(Base64Test, MatchesRfc4648Vectors) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(base64_encode(bytes), text);
    EXPECT_EQ(base64_decode(text), bytes);
  }
}

TEST(Base64Test, RoundTripsEveryByteValueAtEveryTailLength) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  for (std::size_t cut = 0; cut < 3; ++cut) {
    const std::string bytes = all.substr(cut);
    const std::string text = base64_encode(bytes);
    EXPECT_EQ(text.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(base64_decode(text), bytes);
  }
}

TEST(Base64Test, DecodeSkipsCharactersOutsideTheAlphabet) {
  EXPECT_EQ(base64_decode("Zm9v\nYmFy\n"), "foobar");
  EXPECT_EQ(base64_decode(" Zm9v\r\n Ym E=\t"), "fooba");
  EXPECT_EQ(base64_decode("Zm9v-Yg_=="), "foob");
  EXPECT_EQ(base64_decode("!!!!"), "");
}

TEST(Base64Test, DecodeRefusesWrongLengthOrPadding) {
  for (const char* text : {
           "Zm9vY",         // 5 characters
           "Zm9vYg",        // padding left off
           "Zm9vYg=",       // padding cut short
           "Zm=v",          // "=" inside a group
           "Zg==Zm9v",      // "=" before the last group
           "Z===",          // three pad characters
           "====",          // nothing but padding
           "Zh==",          // "f" with a stray low bit set
           "Zm9=",          // "fo" with a stray low bit set
       }) {
    EXPECT_THROW(base64_decode(text), std::invalid_argument) << text;
  }
}

TEST(Base64UrlTest, PaddingAndAlphabet) {
  EXPECT_EQ(base64url_encode(""), "");
  EXPECT_EQ(base64url_encode("f"), "Zg==");
  EXPECT_EQ(base64url_encode("fo"), "Zm8=");
  EXPECT_EQ(base64url_encode("foo"), "Zm9v");
  EXPECT_EQ(base64url_encode("foob"), "Zm9vYg==");
  // Standard base64 would give "+/+/" and "/w==".
  EXPECT_EQ(base64url_encode("\xfb\xff\xbf"), "-_-_");
  EXPECT_EQ(base64url_encode("\xff"), "_w==");
  EXPECT_EQ(base64url_encode(std::string("\0\0", 2)), "AAA=");
}

TEST(Utf8Test, AcceptsWellFormedText) {
  for (const std::string& text : {
           std::string(),
           std::string("plain ascii"),
           std::string("\0 nul is a character", 21),
           std::string("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x99\x82"),
           std::string("\xED\x9F\xBF"),          // U+D7FF, just below the surrogates
           std::string("\xEE\x80\x80"),          // U+E000, just above them
           std::string("\xEF\xBF\xBF"),          // U+FFFF
           std::string("\xF4\x8F\xBF\xBF"),      // U+10FFFF, the last code point
       }) {
    EXPECT_EQ(find_invalid_utf8(text), std::nullopt) << text;
    EXPECT_TRUE(is_valid_utf8(text)) << text;
  }
  std::size_t length = 0;
  EXPECT_EQ(std::optional<char32_t>(0x1F600), decode_utf8("x\xf0\x9f\x98\x80", 1, length));
  EXPECT_EQ(4u, length);
}

TEST(Utf8Test, ReportsTheFirstIllFormedSequence) {
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {"\x80", 0},                       // stray continuation byte
      {"a\xC0\x80", 1},                  // overlong NUL
      {"\xC1\xBF", 0},                   // overlong two-byte form
      {"ok\xE0\x9F\xBF", 2},             // overlong three-byte form
      {"\xF0\x8F\xBF\xBF", 0},           // overlong four-byte form
      {"\xED\xA0\x80", 0},               // high surrogate
      {"x\xED\xBF\xBF", 1},              // low surrogate
      {"\xF4\x90\x80\x80", 0},           // above U+10FFFF
      {"\xF5\x80\x80\x80", 0},           // lead byte that never occurs
      {"\xFF", 0},
      {"ab\xE2\x82", 2},                 // truncated at the end
      {"\xC3", 0},
      {"\xE2\x28\xA1", 0},               // continuation replaced by ASCII
      {"\xF0\x9F\x99\x82\x80", 4},       // extra continuation after an emoji
  };
  for (const auto& [bytes, offset] : cases) {
    EXPECT_EQ(find_invalid_utf8(bytes), std::optional<std::size_t>(offset)) << bytes;
    EXPECT_FALSE(is_valid_utf8(bytes)) << bytes;
  }
}

}  // namespace
}  // namespace bootstrap::base
