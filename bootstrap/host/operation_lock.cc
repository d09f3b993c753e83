#include "bootstrap/host/operation_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
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

}  // namespace

std::filesystem::path operation_lock_path() {
  const char* moved = std::getenv("KESTRO_LOCK_FILE");
  if (moved != nullptr && *moved != '\0') return moved;
  return "/run/lock/kestro-bootstrap.lock";
}

OperationLock OperationLock::acquire(const std::filesystem::path& path, const std::string& holder,
                                     const Wait& wait) {
  // Anyone who may run a changing command must be able to take the lock,
  // but only an account that can write the file can name itself in it; the
  // others lock through a read-only descriptor.
  bool writable = true;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES) {
    writable = false;
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0)
    throw HostError("open the lock file " + path.string() + ": " + std::strerror(errno));
  OperationLock lock(fd);

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
  return lock;
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
