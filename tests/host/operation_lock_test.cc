// The host lock, with two holders in one process: flock(2) locks belong to
// open file descriptions, so two acquire() calls contend as two processes
// would.
#include "bootstrap/host/operation_lock.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bootstrap/host/host.h"

namespace bootstrap::host {
namespace {

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(OperationLock, SecondHolderWaitsNamesTheFirstAndGivesUp) {
  char dir_template[] = "/tmp/kestro-lock-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(dir_template);
  const std::filesystem::path path = dir / "bootstrap.lock";

  std::vector<std::string> announced;
  OperationLock::Wait wait;
  wait.timeout = std::chrono::milliseconds(300);
  wait.waiting = [&](const std::string& holder) { announced.push_back(holder); };
  {
    // Readable by the engine's group, which may take the lock too.
    const gid_t group = geteuid() == 0 ? 4242 : getegid();
    std::optional<OperationLock> first =
        OperationLock::acquire(path, "bootstrap install (pid 41)", wait, group);
    EXPECT_EQ("bootstrap install (pid 41)\n", contents(path));
    EXPECT_TRUE(announced.empty());
    struct stat info {};
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_TRUE((info.st_mode & 07777) == 0640 && info.st_gid == group) << std::oct << info.st_mode;

    auto started = std::chrono::steady_clock::now();
    try {
      OperationLock::acquire(path, "bootstrap scale (pid 42)", wait);
      ADD_FAILURE() << "a held lock was taken twice";
    } catch (const LockTimeout& e) {
      EXPECT_EQ("gave up after 1 s waiting for bootstrap install (pid 41) to finish (lock file " +
                    path.string() + ")",
                e.what());
    }
    EXPECT_GE(std::chrono::steady_clock::now() - started, wait.timeout);
    // One line, however many times it looked; the holder's name stays.
    EXPECT_EQ(std::vector<std::string>{"bootstrap install (pid 41)"}, announced);
    EXPECT_EQ("bootstrap install (pid 41)\n", contents(path));

    // Ctrl-C ends the wait before the timeout.
    OperationLock::Wait interrupted = wait;
    interrupted.timeout = std::chrono::hours(1);
    interrupted.stop = [] { return true; };
    EXPECT_THROW(OperationLock::acquire(path, "bootstrap update (pid 43)", interrupted),
                 HostError);

    // Released, it is free at once, and the name goes with it.
    first.reset();
    EXPECT_EQ("", contents(path));
  }
  announced.clear();
  OperationLock second = OperationLock::acquire(path, "bootstrap scale (pid 42)", wait);
  EXPECT_TRUE(announced.empty());
  EXPECT_EQ("bootstrap scale (pid 42)\n", contents(path));

  // A folder that cannot be made: the error names it.
  try {
    OperationLock::acquire(dir / "missing" / "deeper" / "x.lock", "x", wait);
    ADD_FAILURE() << "no error for an unusable lock file";
  } catch (const HostError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find((dir / "missing").string()));
  }
  std::filesystem::remove_all(dir);
}

// Links nobody planted where the lock goes (to root's file, and dangling): the
// folder is refused while others could plant them, then the link itself.
TEST(OperationLock, LinksPlantedByAnotherAccountAreNeverFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
  char dir_template[] = "/tmp/kestro-lock-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(dir_template);
  ASSERT_EQ(0, ::chmod(dir.c_str(), 0755));
  const std::filesystem::path victim = dir / "victim", target = dir / "made", folder = dir / "lock";
  std::ofstream(victim) << "root's data\n";
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0755));
  ASSERT_EQ(0, ::chown(folder.c_str(), 65534, 65534));
  const std::string ln = "setpriv --reuid=65534 --regid=65534 --clear-groups ln -s ";
  ASSERT_EQ(0, std::system((ln + victim.string() + " " + folder.string() + "/to-file.lock && " + ln +
                            target.string() + " " + folder.string() + "/dangling.lock").c_str()));
  // As /run/lock; another account's; root's, with the links left behind.
  for (const auto& [owner, mode, refusal] :
       {std::tuple{0u, 01777u, "its group or others may write it (mode 1777)"},
        {65534u, 0755u, "it belongs to uid 65534, not to root"},
        {0u, 0755u, "it is a symbolic link, which is not followed"}}) {
    ASSERT_EQ(0, ::chown(folder.c_str(), owner, owner));
    ASSERT_EQ(0, ::chmod(folder.c_str(), mode));
    for (const char* name : {"to-file.lock", "dangling.lock"}) {
      std::string error = "taken";
      try { OperationLock::acquire(folder / name, "x", {}); }
      catch (const HostError& e) { error = e.what(); }
      EXPECT_NE(std::string::npos, error.find(refusal)) << name << ": " << error;
    }
  }
  EXPECT_EQ("root's data\n", contents(victim));
  EXPECT_FALSE(std::filesystem::exists(target));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace bootstrap::host
