// Trimming, joining, escaping, the UTF-8 verdict and image references.
#include <gtest/gtest.h>

#include "bootstrap/base/image_reference.h"
#include "bootstrap/base/text.h"
#include "bootstrap/base/utf8.h"

namespace bootstrap::base {
namespace {

TEST(Text, TrimAndJoin) {
  EXPECT_EQ("a b", trim(" \t\r\na b\n"));
  EXPECT_EQ("", trim(" \n"));
  EXPECT_EQ("a, b, c", join({"a", "b", "c"}, ", "));
  EXPECT_EQ("a", join({"a"}, ","));
  EXPECT_EQ("", join({}, ","));
}

TEST(Text, PrintableEscapesWhatWouldCommandTheTerminal) {
  EXPECT_EQ("plain \xc3\xbc \xe2\x82\xac", printable("plain \xc3\xbc \xe2\x82\xac"));
  EXPECT_EQ("\\x1b[2J\\r\\n\\t\\x00\\x7f\\\\", printable(std::string("\x1b[2J\r\n\t\0\x7f\\", 10)));
  // C1 CSI (U+009B) and a stray byte are shown byte by byte.
  EXPECT_EQ("a\\xc2\\x9b31mb\\xffc", printable("a\xc2\x9b" "31mb\xff" "c"));
}

TEST(Text, Utf8Verdict) {
  for (const char* good : {"", "plain", "\xc3\xbc", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                           "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(is_valid_utf8(good)) << good;
  }
  // Overlong, surrogate, beyond U+10FFFF, stray continuation, truncated.
  for (const char* bad : {"\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                          "\x80", "\xe2\x82", "\xf5\x80\x80\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  std::size_t length = 0;
  EXPECT_EQ(std::optional<char32_t>(0x1F600), decode_utf8("x\xf0\x9f\x98\x80", 1, length));
  EXPECT_EQ(4u, length);
}

TEST(ImageReference, Splits) {
  struct Case {
    const char* reference;
    ImageReference expected;
  };
  const Case cases[] = {
      {"redis", {"redis", "latest", false}},
      {"redis:6.0.4", {"redis", "6.0.4", false}},
      {"lmdx2/app", {"lmdx2/app", "latest", false}},
      {"lmdx2/app:1.4.2", {"lmdx2/app", "1.4.2", false}},
      {"wurstmeister/kafka:2.12-2.5.0", {"wurstmeister/kafka", "2.12-2.5.0", false}},
      // a ":" before the last "/" belongs to a registry address
      {"registry.local:5000/app", {"registry.local:5000/app", "latest", false}},
      {"registry.local:5000/team/app:2.0", {"registry.local:5000/team/app", "2.0", false}},
      // parts after the second ":" are ignored
      {"app:1:extra", {"app", "1", false}},
      // a digest is pulled by its digest
      {"app@sha256:abc", {"app", "sha256:abc", true}},
      {"registry.local:5000/app@sha256:0123", {"registry.local:5000/app", "sha256:0123", true}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, parse_image_reference(c.reference)) << c.reference;
}

TEST(FamiliarImageName, DropsTheHubPrefixesPodmanWrites) {
  const std::pair<const char*, const char*> cases[] = {
      {"docker.io/library/redis:6.0.4", "redis:6.0.4"},
      {"docker.io/lmdx2/app:latest", "lmdx2/app:latest"},
      {"docker.io/library/team/app", "library/team/app"},
      {"redis:6.0.4", "redis:6.0.4"},
      {"localhost:5111/library/redis", "localhost:5111/library/redis"},
  };
  for (const auto& [reference, shown] : cases)
    EXPECT_EQ(shown, familiar_image_name(reference)) << reference;
}

}  // namespace
}  // namespace bootstrap::base
