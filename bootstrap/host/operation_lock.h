// OperationLock: one changing operation on this host at a time.
//
// Two installers that change the engine together can leave it in a state
// neither would (two networks of one name on engines that allow it), so every
// changing command holds an exclusive flock(2) on one host-wide file for its
// whole run. The holder writes what it is into the file ("bootstrap install
// (pid 812)") so that a second one can say what it waits for. The kernel drops
// the lock when the holder's descriptor closes, whatever way the process
// ends, so a crashed holder never leaves the host locked.
//
// Root takes the lock, so the file lives in a folder no other account can
// write (/run/kestro, which the first operation after a boot makes), is never
// opened through a link, and is checked once open before anything is written
// to it. It is readable by its group only: the engine socket's group, whose
// members may run the commands that need only the engine and so must be able
// to take the lock (flock(2) needs no more than a read-only descriptor).
//
// The object owns the open descriptor; moving it moves the lock.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include <sys/types.h>

namespace bootstrap::host {

// Where the lock lives unless the caller moves it.
inline constexpr const char* kOperationLockPath = "/run/kestro/bootstrap.lock";

class OperationLock {
 public:
  // How acquire() waits: `waiting` is called once, with the holder's own
  // words, when the lock is taken by another; `stop` is asked between tries
  // and ends the wait when it answers true.
  struct Wait {
    std::chrono::milliseconds timeout{600'000};
    std::function<void(const std::string& holder)> waiting;
    std::function<bool()> stop;
  };

  // Takes the lock at `path` (creating its folder, 0755, and the file, 0640
  // and of group `group` when given) and writes `holder` into it. Throws
  // LockTimeout naming the holder when `wait.timeout` passes first, and
  // HostError when `wait.stop` ends the wait or the file cannot be opened or
  // trusted: a folder that belongs to another account than root or this
  // process's, or that its group or others may write; a file that is a link,
  // not a regular file, has a second name or belongs to another account.
  static OperationLock acquire(const std::filesystem::path& path, const std::string& holder,
                               const Wait& wait, std::optional<gid_t> group = std::nullopt);

  OperationLock(OperationLock&& other) noexcept;
  OperationLock& operator=(OperationLock&& other) noexcept;
  OperationLock(const OperationLock&) = delete;
  OperationLock& operator=(const OperationLock&) = delete;
  // Releases the lock.
  ~OperationLock();

 private:
  explicit OperationLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The lock stayed taken for the whole timeout.
class LockTimeout : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace bootstrap::host
