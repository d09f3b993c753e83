#include <sys/stat.h>

#include <sstream>

#include <gtest/gtest.h>

#include "bootstrap/host/map_count.h"
#include "tests/host/fakes.h"

namespace bootstrap::host {
namespace {

using fakes::FakeHost;
using fakes::file_bytes;
using fakes::write_file;

const char kRaise[] = "sysctl -w vm.max_map_count=262144";

void set_in_force(FakeHost& fake, const std::string& sysctl_output) {
  fake.process.answers_["sysctl vm.max_map_count"] = {0, sysctl_output};
}

long read_count(const std::string& sysctl_output, int exit_status = 0) {
  FakeHost fake = FakeHost::bare();
  fake.process.answers_["sysctl vm.max_map_count"] = {exit_status, sysctl_output};
  return max_map_count(fake.host);
}

TEST(GetMaxMepCount, ReadsTheNumberAfterTheEqualsSign) {
  {
    EXPECT_EQ(262144, read_count("vm.max_map_count = 262144\n"));
    EXPECT_EQ(65530, read_count("vm.max_map_count=65530"));
    EXPECT_EQ(1048576, read_count("vm.max_map_count =\t1048576\r\n"));
    EXPECT_EQ(5, read_count("a = 5 = 6\n"));  // only the second piece counts
    EXPECT_EQ(65530, read_count("vm.max_map_count = 65530\n", 1));  // status ignored
  }
  {
    FakeHost fake = FakeHost::bare();  // no sysctl program
    EXPECT_EQ(0, max_map_count(fake.host));
    EXPECT_EQ(std::vector<std::string>{"sysctl vm.max_map_count"}, fake.process.commands_ran_);
  }
  for (const char* bad : {"vm.max_map_count 65530\n", "", "vm.max_map_count = abc\n",
                          "vm.max_map_count = 12abc\n", "vm.max_map_count = \n",
                          "vm.max_map_count = 1 2\n", "vm.max_map_count = 99999999999999999999\n",
                          "vm.max_map_\xff""count = 65530\n"}) {
    EXPECT_EQ(0, read_count(bad)) << bad;
  }
}

// Everything check_vm_max_map_count does that someone could see.
struct Outcome {
  std::string printed;
  std::vector<std::string> commands;
  std::optional<std::string> file;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << "printed:\n" << o.printed << "commands:";
  for (const std::string& c : o.commands) out << " [" << c << "]";
  return out << "\nfile: " << (o.file ? "\"" + *o.file + "\"" : "(missing)");
}

// What the last check() returned: why the value could not be raised.
std::string last_refusal;

Outcome check(FakeHost& fake) {
  fake.shell.echo_ = true;
  fake.shell.commands_ran_.clear();
  ::testing::internal::CaptureStdout();
  try {
    last_refusal = check_vm_max_map_count(fake.host);
  } catch (...) {
    ::testing::internal::GetCapturedStdout();
    throw;
  }
  std::string printed = ::testing::internal::GetCapturedStdout();
  return {printed, fake.shell.commands_ran_, file_bytes(fake.host.sysctl_conf)};
}

const std::string kRaised =
    "vm.max_map_count<262144\n"
    "applying vm.max_map_count=262144\n"
    "$ sysctl -w vm.max_map_count=262144\n"
    "applied vm.max_map_count setting\n";
const std::string kPersisted =
    "making persistent vm.max_map_count=262144\n"
    "applied persistent vm.max_map_count setting\n";

TEST(CheckVmMaxMapCount, NotLinuxDoesNothingAtAll) {
  FakeHost fake = FakeHost::bare();
  fake.system.platform_ = "darwin";
  set_in_force(fake, "vm.max_map_count = 65530\n");
  write_file(fake.host.sysctl_conf, "kernel.x=1");
  EXPECT_EQ((Outcome{"", {}, "kernel.x=1"}), check(fake));
  EXPECT_TRUE(fake.process.commands_ran_.empty());
}

TEST(CheckVmMaxMapCount, RaisesTheValueAndPersistsItUnlessTheFilesLastLineIsHighEnough) {
  struct Case {
    const char* before;
    const char* in_force;
    std::string printed;
    std::vector<std::string> commands;
    const char* after;
  };
  const std::vector<std::string> raise = {kRaise};
  const Case cases[] = {
      {"kernel.x=1\n", "vm.max_map_count = 65530\n", kRaised + kPersisted, raise,
       "kernel.x=1\nvm.max_map_count=262144\n"},
      // Ours must not be glued to an unterminated last line.
      {"kernel.x=1", "vm.max_map_count = 65530\n", kRaised + kPersisted, raise,
       "kernel.x=1\nvm.max_map_count=262144\n"},
      {"", "vm.max_map_count = 65530\n", kRaised + kPersisted, raise, "vm.max_map_count=262144\n"},
      // Comments and indented lines do not count as a setting.
      {"#vm.max_map_count=262144\n", "vm.max_map_count = 262144\n", kPersisted, {},
       "#vm.max_map_count=262144\nvm.max_map_count=262144\n"},
      {"  vm.max_map_count=262144\n", "vm.max_map_count = 262144\n", kPersisted, {},
       "  vm.max_map_count=262144\nvm.max_map_count=262144\n"},
      // A low value is kept and ours goes after it, since the last line wins
      // at boot; a key that only starts with ours is another setting.
      {"vm.max_map_count=100\n", "vm.max_map_count = 65530\n", kRaised + kPersisted, raise,
       "vm.max_map_count=100\nvm.max_map_count=262144\n"},
      {"vm.max_map_count = 300000\nvm.max_map_count=100\n", "vm.max_map_count = 262144\n",
       kPersisted, {}, "vm.max_map_count = 300000\nvm.max_map_count=100\nvm.max_map_count=262144\n"},
      {"vm.max_map_count=100\nvm.max_map_count = 300000\n", "vm.max_map_count = 300000\n", "",
       {}, "vm.max_map_count=100\nvm.max_map_count = 300000\n"},
      {"vm.max_map_count_foo=300000\n", "vm.max_map_count = 262144\n", kPersisted, {},
       "vm.max_map_count_foo=300000\nvm.max_map_count=262144\n"},
      {"vm.max_map_count=lots\n", "vm.max_map_count = 262144\n", kPersisted, {},
       "vm.max_map_count=lots\nvm.max_map_count=262144\n"},
      {"a=1\nvm.max_map_count=262144\n", "vm.max_map_count = 262144\n", "", {},
       "a=1\nvm.max_map_count=262144\n"},
      // An unreadable value counts as 0 and is raised.
      {"vm.max_map_count=262144\n", "no equals sign\n", kRaised, raise,
       "vm.max_map_count=262144\n"},
      // A higher value in force is what gets persisted, and is left alone.
      {"a=1\n", "vm.max_map_count = 1048576\n",
       "making persistent vm.max_map_count=1048576\n"
       "applied persistent vm.max_map_count setting\n",
       {}, "a=1\nvm.max_map_count=1048576\n"},
  };
  for (const Case& c : cases) {
    FakeHost fake = FakeHost::bare();
    write_file(fake.host.sysctl_conf, c.before);
    set_in_force(fake, c.in_force);
    EXPECT_EQ((Outcome{c.printed, c.commands, c.after}), check(fake)) << "file: " << c.before;
  }
}

// Its lines go to the console the host carries, coloured when that
// console's terminal allows, and nothing to standard output.
TEST(CheckVmMaxMapCount, PrintsOnTheHostsConsole) {
  FakeHost fake = FakeHost::bare();
  write_file(fake.host.sysctl_conf, "");
  set_in_force(fake, "vm.max_map_count = 65530\n");
  std::ostringstream out, err;
  const base::Console console(out, err, base::Terminal{true, true});
  host::Host coloured{fake.host.process,     fake.host.shell,      fake.host.system,
                      fake.host.files,       fake.host.sysctl_conf, fake.host.os_release,
                      fake.host.apt_keyrings, console};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ("", check_vm_max_map_count(coloured));
  EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
  EXPECT_EQ(
      "\033[33mvm.max_map_count<262144\033[0m\n"
      "applying vm.max_map_count=262144\n"
      "\033[32mapplied vm.max_map_count setting\033[0m\n"
      "making persistent vm.max_map_count=262144\n"
      "\033[32mapplied persistent vm.max_map_count setting\033[0m\n",
      out.str());
}

TEST(CheckVmMaxMapCount, MissingFileOrProgram) {
  {
    FakeHost fake = FakeHost::bare();  // neither the settings file nor sysctl exists
    mode_t old_mask = ::umask(0077);  // the file must still be readable by all
    Outcome outcome = check(fake);
    ::umask(old_mask);
    EXPECT_EQ((Outcome{kRaised + kPersisted, {kRaise}, "vm.max_map_count=262144\n"}), outcome);
    struct stat st;
    ASSERT_EQ(0, ::stat(fake.host.sysctl_conf.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
  }
  {
    FakeHost fake = FakeHost::bare();  // a folder where the file should be: nothing happens
    std::filesystem::create_directory(fake.host.sysctl_conf);
    set_in_force(fake, "vm.max_map_count = 65530\n");
    ::testing::internal::CaptureStdout();
    EXPECT_THROW(check_vm_max_map_count(fake.host), host::HostError);
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_TRUE(fake.shell.commands_ran_.empty());
  }
  {
    FakeHost fake = FakeHost::bare();  // the file cannot be created: the raise has happened
    fake.host.sysctl_conf = fake.dir_ / "no-such-folder" / "sysctl.conf";
    set_in_force(fake, "vm.max_map_count = 65530\n");
    try {
      check(fake);
      ADD_FAILURE() << "no error";
    } catch (const host::HostError& e) {
      EXPECT_EQ("cannot write " + fake.host.sysctl_conf.string() + ": No such file or directory",
                e.what());
    }
    EXPECT_EQ(std::vector<std::string>{kRaise}, fake.shell.commands_ran_);
  }
}

TEST(CheckVmMaxMapCount, SecondRunAfterASuccessfulFirstIsQuiet) {
  FakeHost fake = FakeHost::bare();
  write_file(fake.host.sysctl_conf, "# defaults\n");
  set_in_force(fake, "vm.max_map_count = 65530\n");
  EXPECT_EQ(kRaised + kPersisted, check(fake).printed);
  set_in_force(fake, "vm.max_map_count = 262144\n");  // what the raise did
  EXPECT_EQ((Outcome{"", {}, "# defaults\nvm.max_map_count=262144\n"}), check(fake));
}

}  // namespace
}  // namespace bootstrap::host

namespace bootstrap::host {
namespace {

// Root runs sysctl itself (the table above); another account goes through
// sudo. A refused or impossible raise is said as such instead of "applied";
// the persistent line is still written so the next boot has it.
TEST(CheckVmMaxMapCount, OthersThanRootGoThroughSudoAndARefusalIsNotApplied) {
  const std::string sudo = "sudo sysctl -w vm.max_map_count=262144";
  struct Case {
    bool root;
    std::vector<std::string> missing;
    int status;
    std::vector<std::string> commands;
    std::string refusal;
  };
  const Case cases[] = {
      {true, {}, 1, {kRaise}, "`sysctl -w vm.max_map_count=262144` exited with status 1"},
      {false, {}, 0, {sudo}, ""},
      {false, {"sudo"}, 0, {}, "cannot run sudo: No such file or directory"},
  };
  for (const Case& c : cases) {
    FakeHost fake = FakeHost::bare();
    write_file(fake.host.sysctl_conf, "a=1\n");
    set_in_force(fake, "vm.max_map_count = 65530\n");
    fake.system.root_ = c.root;
    fake.shell.missing_programs_ = c.missing;
    fake.shell.unlisted_status_ = c.status;
    std::string printed = "vm.max_map_count<262144\napplying vm.max_map_count=262144\n";
    for (const std::string& command : c.commands) printed += "$ " + command + "\n";
    if (c.refusal.empty()) printed += "applied vm.max_map_count setting\n";
    EXPECT_EQ((Outcome{printed + kPersisted, c.commands, "a=1\nvm.max_map_count=262144\n"}),
              check(fake));
    EXPECT_EQ(c.refusal, last_refusal);
  }
}

}  // namespace
}  // namespace bootstrap::host
