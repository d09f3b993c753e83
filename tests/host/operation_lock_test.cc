// The host lock, with two holders in one process: flock(2) locks belong to
// open file descriptions, so two acquire() calls contend as two processes
// would.
#include "bootstrap/host/operation_lock.h"

#include <stdlib.h>
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
    std::optional<OperationLock> first =
        OperationLock::acquire(path, "bootstrap install (pid 41)", wait);
    EXPECT_EQ("bootstrap install (pid 41)\n", contents(path));
    EXPECT_TRUE(announced.empty());

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
    // One line, however many times it looked.
    EXPECT_EQ(std::vector<std::string>{"bootstrap install (pid 41)"}, announced);

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

  // A folder that is not there: the error names the file.
  try {
    OperationLock::acquire(dir / "missing" / "x.lock", "bootstrap install (pid 44)", wait);
    ADD_FAILURE() << "no error for an unusable lock file";
  } catch (const HostError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find((dir / "missing").string()));
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace bootstrap::host
