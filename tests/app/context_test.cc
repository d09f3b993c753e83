// What main's one reading of the environment makes of each variable.
#include "bootstrap/app/context.h"

#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"

namespace bootstrap::app {
namespace {

struct Made {
  std::ostringstream out, err;
  std::unique_ptr<Context> context;
  Made(const std::map<std::string, std::string>& variables, bool tty) {
    context = std::make_unique<Context>(
        [variables](const char* name) -> std::optional<std::string> {
          auto found = variables.find(name);
          if (found == variables.end()) return std::nullopt;
          return found->second;
        },
        tty, out, err);
  }
};

TEST(Context, ReadsEachVariableOnce) {
  const struct {
    std::map<std::string, std::string> variables;
    bool tty;
    bool colour;
    const char* log_file;
    std::uintmax_t rotate_at;
    const char* lock_file;
    const char* docker_config;
  } kCases[] = {
      {{{"HOME", "/home/a"}}, true, true, "/var/log/kestro/bootstrap.log", 10 * 1024 * 1024,
       "/run/kestro/bootstrap.lock", "/home/a/.docker/config.json"},
      {{{"NO_COLOR", "1"}, {"DOCKER_CONFIG", "/etc/d"}}, true, false,
       "/var/log/kestro/bootstrap.log", 10 * 1024 * 1024, "/run/kestro/bootstrap.lock",
       "/etc/d/config.json"},
      {{{"NO_COLOR", ""}, {"KESTRO_LOG_FILE", "/tmp/l"}, {"KESTRO_LOG_ROTATE_BYTES", "300"},
        {"KESTRO_LOCK_FILE", "/tmp/k"}, {"DOCKER_CONFIG", ""}},
       false, false, "/tmp/l", 300, "/tmp/k", "/.docker/config.json"},
      {{{"NO_COLOR", ""}, {"KESTRO_LOG_ROTATE_BYTES", "3x"}, {"KESTRO_LOCK_FILE", ""}}, true,
       true, "/var/log/kestro/bootstrap.log", 10 * 1024 * 1024, "/run/kestro/bootstrap.lock",
       "/.docker/config.json"},
  };
  for (const auto& c : kCases) {
    Made made(c.variables, c.tty);
    const Context& context = *made.context;
    const std::string row = std::to_string(&c - kCases);
    EXPECT_EQ(c.tty, context.output.terminal.tty) << row;
    EXPECT_EQ(c.colour, context.output.terminal.colour) << row;
    EXPECT_EQ(c.log_file, context.log.file) << row;
    EXPECT_EQ(c.rotate_at, context.log.rotate_at) << row;
    EXPECT_EQ(c.lock_file, context.lock_file) << row;
    EXPECT_EQ(c.docker_config, context.docker_config) << row;
  }
}

// An unusable DOCKER_HOST costs only the commands that need the engine, and
// they report it with its reason.
TEST(Context, UnusableEngineIsThrownWhenNeeded) {
  Made made({{"DOCKER_HOST", "ssh://user@host"}, {"SUDO_USER", "alice"}}, false);
  EXPECT_EQ("alice", made.context->log.sudo_user);
  EXPECT_THROW(made.context->engine_config(), docker::ConfigError);
  EXPECT_THROW(made.context->connect(), docker::ConfigError);
}

}  // namespace
}  // namespace bootstrap::app
