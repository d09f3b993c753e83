#include "bootstrap/host/operation_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bootstrap/base/fd.h"
#include "bootstrap/host/host.h"

namespace bootstrap::host {

namespace {

// Short enough that Ctrl-C and the timeout feel immediate, long enough to
// cost nothing while a long install holds the lock.
constexpr std::chrono::milliseconds kPollInterval{100};
// How long a waiter gives a new holder to write its name before it says
// "another" instead.
constexpr std::chrono::milliseconds kNameGrace{1000};

std::string read_holder(int fd) {
  std::string text;
  char buffer[256];
  ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
  if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  return text;
}

base::UniqueFd open_lock_folder(const std::filesystem::path& folder) {
  // /run is emptied at every boot, so the first operation after one makes
  // the folder again.
  const bool made = ::mkdir(folder.c_str(), 0755) == 0;
  if (!made && errno != EEXIST) {
    const int error = errno;
    throw HostError("create the lock folder " + folder.string() + ": " + std::strerror(error) +
                    (error == EACCES ? " (the first changing command run as root makes it)" : ""));
  }
  try {
    base::UniqueFd fd = base::open_private_folder(folder);
    // The umask may have taken the search right that the socket's group
    // needs to reach the file.
    if (made) (void)::fchmod(fd.get(), 0755);
    return fd;
  } catch (const std::runtime_error& e) {
    throw HostError("use the lock folder " + folder.string() + ": " + e.what());
  }
}

}  // namespace

OperationLock OperationLock::acquire(const std::filesystem::path& path, const std::string& holder,
                                     const Wait& wait, std::optional<gid_t> group) {
  const base::UniqueFd folder =
      open_lock_folder(path.parent_path().empty() ? "." : path.parent_path());
  const std::string name = path.filename().string();
  // Anyone who may run a changing command must be able to take the lock,
  // but only an account that can write the file can name itself in it; the
  // others lock through a read-only descriptor.
  bool writable = true;
  int fd = ::openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0 && errno == EACCES) {
    writable = false;
    fd = ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0)
    throw HostError("open the lock file " + path.string() + ": " + base::open_error(errno));
  // Not an OperationLock until it is taken: a waiter that gives up must not
  // empty the holder's name on its way out.
  base::UniqueFd file(fd);
  try {
    base::check_private_file(fd);
  } catch (const std::runtime_error& e) {
    throw HostError("use the lock file " + path.string() + ": " + e.what());
  }
  struct stat info {};
  if (writable && ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid()) {
    // Set on every run, not only at creation, so that the umask does not
    // decide who may take the lock. A group this account does not belong to
    // (a run without root) is refused by the system and changes nothing.
    if (group && ::fchown(fd, static_cast<uid_t>(-1), *group) != 0) {
      // Left as it was: the lock still works for this account.
    }
    (void)::fchmod(fd, 0640);
  }

  const auto start = std::chrono::steady_clock::now();
  bool announced = false;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR)
      throw HostError("lock " + path.string() + ": " + std::strerror(errno));
    const auto waited = std::chrono::steady_clock::now() - start;
    std::string other = read_holder(fd);
    if (!announced && (!other.empty() || waited >= kNameGrace)) {
      announced = true;
      if (wait.waiting) wait.waiting(other.empty() ? "another bootstrap operation" : other);
    }
    if (wait.stop && wait.stop()) throw HostError("interrupted while waiting for the lock");
    if (waited >= wait.timeout)
      throw LockTimeout("gave up after " +
                        std::to_string(std::chrono::ceil<std::chrono::seconds>(wait.timeout).count()) +
                        " s waiting for " + (other.empty() ? "another bootstrap operation" : other) +
                        " to finish (lock file " + path.string() + ")");
    std::this_thread::sleep_for(kPollInterval);
  }
  if (writable) {
    // Best effort: a waiter that reads nothing still waits, it only names
    // the holder less precisely.
    if (::ftruncate(fd, 0) == 0) (void)base::write_all(fd, holder + "\n");
  }
  return OperationLock(file.release());
}

OperationLock::OperationLock(OperationLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OperationLock& OperationLock::operator=(OperationLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

OperationLock::~OperationLock() {
  if (fd_ < 0) return;
  // The holder's name goes with the lock, so a later waiter never names a
  // finished operation.
  [[maybe_unused]] int ignored = ::ftruncate(fd_, 0);
  ::close(fd_);
}

}  // namespace bootstrap::host
