// Trimming, splitting, joining, escaping and image references.
#include <gtest/gtest.h>

#include "bootstrap/base/image_reference.h"
#include "bootstrap/base/text.h"

namespace bootstrap::base {
namespace {

TEST(Text, TrimSplitAndJoin) {
  EXPECT_EQ("a b", trim(" \t\r\na b\n"));
  EXPECT_EQ("", trim(" \n"));
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), split_lines("a\n\nb\n"));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), split_lines("a\nb"));
  EXPECT_TRUE(split_lines("").empty());
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
