// Splitting command lines into argv.
#include <gtest/gtest.h>

#include <stdexcept>

#include "bootstrap/docker/command_split.h"

namespace bootstrap::docker {
namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandTest, Words) {
  EXPECT_EQ(split_command(R"(/bin/sh -c "./start.sh api")"),
            (Words{"/bin/sh", "-c", "./start.sh api"}));
  EXPECT_EQ(split_command("  redis-server\t--appendonly   yes \n"),
            (Words{"redis-server", "--appendonly", "yes"}));
  EXPECT_EQ(split_command(""), Words{});
  EXPECT_EQ(split_command(" \t "), Words{});
}

TEST(SplitCommandTest, QuotesAndEscapes) {
  // Single quotes are literal, backslashes and double quotes included.
  EXPECT_EQ(split_command(R"(echo 'a "b" \n $x')"), (Words{"echo", R"(a "b" \n $x)"}));
  // Inside double quotes only \" and \\ are escapes.
  EXPECT_EQ(split_command(R"(echo "say \"hi\" \\ \n")"), (Words{"echo", R"(say "hi" \ \n)"}));
  // Outside quotes a backslash escapes any character, a blank included.
  EXPECT_EQ(split_command(R"(cat my\ file \'x\' \\)"), (Words{"cat", "my file", "'x'", "\\"}));
  // Adjacent pieces make one word; empty quotes make an empty word.
  EXPECT_EQ(split_command(R"(--opt="a b"'c d'e)"), (Words{"--opt=a bc de"}));
  EXPECT_EQ(split_command(R"(a "" '' b)"), (Words{"a", "", "", "b"}));
}

TEST(SplitCommandTest, Malformed) {
  for (const char* command :
       {R"(sh -c "echo hi)", "sh -c 'echo hi", R"(echo "a\")", "echo a\\", R"(x "y" ")", "'"}) {
    EXPECT_THROW(split_command(command), std::invalid_argument) << command;
  }
}

}  // namespace
}  // namespace bootstrap::docker
