// Acting as another account (nobody), for tests of what such an account can
// plant where root is about to write. Needs root.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace bootstrap::testing {

inline constexpr uid_t kNobody = 65534;

// Runs `act` in a child process that has become nobody (user and groups);
// whether it got there and `act` answered true.
inline bool as_nobody(const std::function<bool()>& act) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool done = ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
                      ::setresuid(kNobody, kNobody, kNobody) == 0 && act();
    ::_exit(done ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace bootstrap::testing
